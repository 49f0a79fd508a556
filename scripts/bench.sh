#!/usr/bin/env bash
# Counts the instructions flashmac, busybox and the plainly written
# operations take on the emulated board, and rewrites docs/benchmarks.md
# (bench.py --wall: wall time instead).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh test
. scripts/lib/configure.sh
for p in mipsel-musl-sf mipsel-musl-sf-static; do
  configure $p && cmake --build --preset $p >/dev/null
done
scripts/board/build-busybox.sh .cache/sysroot-mipsel-musl-sf .cache/busybox-musl
python3 scripts/board/bench.py --write docs/benchmarks.md "$@"
