#!/usr/bin/env bash
# Builds every preset from this tree and runs all of their tests: unit tests
# on the host (also under ASan and UBSan), then the device binary's ELF,
# size, command-line (qemu-user) and emulated-board tests.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
for preset in host host-asan fuzz mipsel-musl-sf mipsel-musl-sf-static; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
