# Front door of the build: `make` builds, `make test` builds and runs every
# test, `make demo` captures from the virtual scope, `make clean` cleans.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

.PHONY: all build test demo clean deps install bench

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
	rm -rf $(BUILD) demo.dat

# Benchmarks against the virtual scope (bench/); not part of `make test`.
# Prints the table and writes it to $(BUILD)/bench.csv.
BENCH_REPEAT ?= 5

bench:
	@sh scripts/ensure-deps bench
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim qelvo-bench qelvo-microbench
	$(BUILD)/bench/qelvo-microbench --benchmark_out=$(BUILD)/bench-micro.json \
	  --benchmark_out_format=json
	$(BUILD)/bench/qelvo-bench --qelvo $(BUILD)/qelvo --sim $(BUILD)/qelvo-scope-sim \
	  --micro $(BUILD)/bench-micro.json --csv $(BUILD)/bench.csv --repeat $(BENCH_REPEAT)
