#!/usr/bin/env bash
# Builds every preset from this tree and runs all of their tests: unit tests
# on the host (also under ASan and UBSan), then the device binary's ELF,
# size, command-line (qemu-user) and emulated-board tests, on Linux 6.1 and
# 6.12.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
. scripts/lib/configure.sh
# The board's Debian 6.1 kernel, fetched here so that no test fetches it
# while another runs beside it.
scripts/fetch-board.sh .cache/board
# The board's second kernel, Linux 6.12, built once per machine (a few
# minutes on two cores) and kept in ~/.cache/flashmac for every clone.
scripts/board/build-kernel.sh .cache/board "${FLASHMAC_KERNEL_CACHE:-$HOME/.cache/flashmac}/linux-6.12"
for preset in host host-asan fuzz mipsel-musl-sf mipsel-musl-sf-static; do
  echo "=== $preset"
  configure "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
