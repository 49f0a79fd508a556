#!/usr/bin/env bash
# Builds every preset from this tree and runs all of their tests: unit tests
# on the host (also under ASan and UBSan), then the device binary's ELF,
# size, command-line (qemu-user) and emulated-board tests, on Linux 6.1 and
# 6.12.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the board's kernel build needs comes first: the kernel then builds
# (at low priority) while the rest installs and the host suites run.
scripts/setup.sh kernel
. scripts/lib/configure.sh
# The board's Debian 6.1 kernel, fetched here so that no test fetches it
# while another runs beside it.
scripts/fetch-board.sh .cache/board
# The board's second kernel, Linux 6.12, built once per machine (see
# docs/contributing.md for how long) and kept in ~/.cache/flashmac for
# every clone, and again when its config changes. In
# a process group of its own, so that a run that fails stops all of it.
mkdir -p build
kernel_log=build/kernel-6.12.log
setsid scripts/board/build-kernel.sh .cache/board \
  "${FLASHMAC_KERNEL_CACHE:-$HOME/.cache/flashmac}/linux-6.12" >"$kernel_log" 2>&1 &
kernel=$!
echo "kernel: the board's 6.12 builds in the background when not built yet ($kernel_log)" >&2
trap '[ -z "$kernel" ] || kill -- -"$kernel" 2>/dev/null || true' EXIT
wait_kernel() {
  local rc=0
  wait "$kernel" || rc=$?
  kernel=""
  cat "$kernel_log" >&2
  [ "$rc" -eq 0 ] || { echo "kernel: the board's 6.12 build failed ($rc)" >&2; exit 1; }
}
scripts/setup.sh test
skipped=()
for preset in host host-asan fuzz mipsel-musl-sf mipsel-musl-sf-static; do
  echo "=== $preset"
  configure "$preset"
  cmake --build --preset "$preset"
  # The board tests, which boot it, come with the device presets.
  [ -z "$kernel" ] || [ "$preset" != mipsel-musl-sf ] || wait_kernel
  ctest --preset "$preset" | tee "build/$preset/ctest.out"
  # A test that could not run here is counted as skipped; its own output
  # ("skipped: ...") says why.
  while IFS= read -r name; do
    skipped+=("$preset/$name")
    why=$(awk -v t="$name" '$2 == "Test:" { n = $3 } n == t && sub(/^skipped: /, "")' \
      "build/$preset/Testing/Temporary/LastTest.log")
    echo "skipped: $preset/$name: ${why:-(no reason given)}"
  done < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "build/$preset/ctest.out")
done
echo "skipped tests: ${skipped[*]:-none}"
