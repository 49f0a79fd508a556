#!/usr/bin/env bash
# Builds the device binary, installing only what that needs:
# build/mipsel-musl-sf/flashmac (and the small probe its tests run).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh device
. scripts/lib/configure.sh
configure mipsel-musl-sf
cmake --build --preset mipsel-musl-sf
ls -l build/mipsel-musl-sf/flashmac
echo "device tests: scripts/setup.sh test, then ctest --preset mipsel-musl-sf (or bash scripts/test.sh for all)" >&2
