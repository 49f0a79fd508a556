#!/usr/bin/env bash
# Times flashmac against busybox on the emulated board and rewrites
# docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh test
. scripts/lib/configure.sh
for p in mipsel-musl-sf mipsel-musl-sf-static; do
  configure $p && cmake --build --preset $p >/dev/null
done
scripts/board/build-busybox.sh .cache/sysroot-mipsel-musl-sf .cache/busybox-musl
python3 scripts/board/bench.py --write docs/benchmarks.md "$@"
