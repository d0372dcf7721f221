# Front door of the build: `make` builds, `make test` builds and runs every
# test, `make demo` captures from the virtual scope, `make fuzz` runs the
# fuzz targets for FUZZ_SECONDS each, `make clean` cleans.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build test demo clean deps install fuzz

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

# Each fuzz target for FUZZ_SECONDS on its seed corpus (clang's libFuzzer).
fuzz:
	@sh scripts/ensure-deps fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DQELVO_FUZZ=ON \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_config fuzz_command_line fuzz_protocol
	sh scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) demo.dat
