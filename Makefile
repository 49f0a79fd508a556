# The two commands a newcomer needs; everything else is CMake presets.
.PHONY: test demo device

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
