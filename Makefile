# Front door of the build: `make` builds, `make test` builds and runs every
# test, `make demo` captures from the virtual scope, `make clean` cleans.
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

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@sh scripts/demo $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) demo.dat
