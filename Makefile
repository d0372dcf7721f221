# Front door of the build: `make` builds, `make test` builds and runs every
# test, `make demo` captures from the virtual scope (and plots it with gnuplot),
# `make package` builds a .deb, `make clean` cleans.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

.PHONY: all build test demo clean deps install

all: build

deps:
	@sh scripts/ensure-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# One test at a time: the scope link's tests measure waits of a few
# milliseconds and must not compete with each other for the CPU.
test: build
	cd $(BUILD) && ctest --output-on-failure

demo: build
	@sh scripts/demo $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) demo.dat demo.png

# Debian package of what `make install` installs (programs, manual pages,
# bash completion, examples), built by CPack into $(BUILD)/qelvo_*.deb.
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB
