# Shortcuts, once make is there; the scripts they run need only bash.
.PHONY: test demo device bench

# Installs what is missing, builds host and device, runs every test.
test:
	bash scripts/test.sh

# Builds the device binary and shows it on an emulated board with flash.
demo:
	bash scripts/demo.sh

# Only the device binary: build/mipsel-musl-sf/flashmac
device:
	bash scripts/device.sh

# Times flashmac against busybox on the emulated board; updates the figures
# in docs/benchmarks.md.
bench:
	bash scripts/bench.sh
