#!/usr/bin/env bash
# Builds the device binary and runs it on an emulated MIPS board whose flash
# partition is an image file on this machine: read, write, power cycle,
# read again. The image stays in build/demo/ for you to inspect.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh demo
. scripts/lib/configure.sh
configure mipsel-musl-sf
cmake --build --preset mipsel-musl-sf >/dev/null
exec python3 scripts/board/demo.py "$@"
