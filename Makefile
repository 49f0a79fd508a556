# The two commands a newcomer needs; everything else is CMake presets.
.PHONY: test demo device bench

# Installs what is missing, builds host and device, runs every test.
test:
	scripts/test.sh

# Builds the device binary and shows it on an emulated board with flash.
demo:
	scripts/demo.sh

# Only the device binary: build/mipsel-musl-sf/flashmac
device:
	scripts/setup.sh
	cmake --preset mipsel-musl-sf
	cmake --build --preset mipsel-musl-sf

# Times flashmac against busybox on the emulated board; updates the figures
# in docs/benchmarks.md.
bench:
	scripts/setup.sh
	for p in mipsel-musl-sf mipsel-musl-sf-static; do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p >/dev/null || exit 1; done
	python3 scripts/board/bench.py --write docs/benchmarks.md
