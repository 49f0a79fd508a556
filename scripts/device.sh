#!/usr/bin/env bash
# Builds the device binary alone, installing only what that needs:
# build/mipsel-musl-sf/flashmac
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh device
. scripts/lib/configure.sh
configure mipsel-musl-sf
cmake --build --preset mipsel-musl-sf --target flashmac
ls -l build/mipsel-musl-sf/flashmac
