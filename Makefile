# Shortcuts, once make is there; the scripts they run need only bash.
#   make              the device binary: build/mipsel-musl-sf/flashmac
#   make install      it and its manual page into DESTDIR (default: /usr prefix)
#   make test         every test, as CI runs them
#   make demo         the device binary on an emulated board with flash
#   make bench        flashmac against busybox on the board, in instructions (docs/benchmarks.md)
#   make clean        remove the build folders (not the caches in .cache/)
.PHONY: all device install test demo bench clean

PREFIX ?= /usr

all: device

device:
	bash scripts/device.sh

install: device
	cmake --install build/mipsel-musl-sf --prefix $(PREFIX)

test:
	bash scripts/test.sh

demo:
	bash scripts/demo.sh

bench:
	bash scripts/bench.sh

clean:
	rm -rf build
