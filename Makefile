# Front door of the build: `make` builds, `make test` builds and runs every
# test, `make demo` captures from the virtual scope (and plots it with gnuplot),
# `make fuzz` runs the fuzz targets for FUZZ_SECONDS each, `make bench`
# measures speed, CPU and memory against the virtual scope, `make package`
# builds a .deb, `make vm-test` runs qelvo in a virtual machine on the
# kernel's serial driver, `make clean` cleans.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build test demo clean deps install fuzz bench

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

# Only the two programs it runs: a first demo does not wait for the tests.
demo: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim
	@sh scripts/demo $(BUILD)

# Each fuzz target for FUZZ_SECONDS on its seed corpus (clang's libFuzzer).
fuzz:
	@sh scripts/ensure-deps fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DQELVO_FUZZ=ON \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_config fuzz_command_line fuzz_protocol \
	  fuzz_extended
	sh scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(STATIC_BUILD) demo.dat demo.png

# Benchmarks against the virtual scope (bench/); not part of `make test`.
# Prints the table and writes it to $(BUILD)/bench.csv.
BENCH_REPEAT ?= 3

bench:
	@sh scripts/ensure-deps bench
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim qelvo-bench qelvo-microbench
	$(BUILD)/bench/qelvo-microbench --benchmark_out=$(BUILD)/bench-micro.json \
	  --benchmark_out_format=json
	$(BUILD)/bench/qelvo-bench --qelvo $(BUILD)/qelvo --sim $(BUILD)/qelvo-scope-sim \
	  --micro $(BUILD)/bench-micro.json --csv $(BUILD)/bench.csv --repeat $(BENCH_REPEAT)

# Debian package of what `make install` installs (programs, manual pages,
# bash completion, examples), built by CPack into $(BUILD)/qelvo_*.deb.
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB

# qelvo on /dev/ttyS1 of a Debian kernel in QEMU, the virtual scope on the
# host (scripts/vm-test). The guest needs a statically linked qelvo, built in
# its own directory; the kernel is cached in $(BUILD)/vm.
STATIC_BUILD ?= build-static

.PHONY: vm-test
vm-test:
	@sh scripts/ensure-deps vm
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo-scope-sim
	cmake -S . -B $(STATIC_BUILD) -DBUILD_TESTING=OFF -DCMAKE_EXE_LINKER_FLAGS=-static $(CMAKE_FLAGS)
	cmake --build $(STATIC_BUILD) -j $(JOBS) --target qelvo
	bash scripts/vm-test $(BUILD) $(STATIC_BUILD)
