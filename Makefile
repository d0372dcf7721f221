# Front door of the build: `make` builds, `make test` builds and runs every
# test, `make demo` captures from the virtual scope (and draws it with qelvo-plot),
# `make lint` checks the shell scripts and the C++ formatting,
# `make fuzz` runs the fuzz targets for FUZZ_SECONDS each, `make bench`
# measures speed, CPU and memory against the virtual scope, `make browser-test`
# drives qelvo-serve's page in headless chromium, `make interop-test` has
# sigrok-cli and LibreOffice Calc read qelvo's files, `make package`
# builds a .deb, `make vm-test` runs qelvo in a virtual machine on the
# kernel's serial driver, `make crash-test` cuts that machine's power under a
# series onto ext4 and checks every file reported written,
# `make cross ARCH=arm64|armhf` builds for ARM with
# Debian's cross compilers, `make cross-test ARCH=...` tests that build under
# qemu-user, `make clean` cleans.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= 2

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build test demo clean deps install fuzz bench lint browser-test

all: build

deps:
	@sh scripts/ensure-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The unit tests run side by side; the end-to-end tests, which measure waits
# of a few milliseconds on the wall clock, each run alone. CTEST_FLAGS may
# choose among them (-E REGEX, -LE LABEL).
CTEST_FLAGS ?=

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

# Only the two programs it runs: a first demo does not wait for the tests.
demo: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim
	@sh scripts/demo $(BUILD)

# qelvo-serve's page in Debian's headless chromium, driven by selenium: a
# two-channel capture from the virtual scope, its plot, measurements and
# download, and screenshots $(BUILD)/browser-360x740.png and -1280x800.png.
browser-test: deps
	@sh scripts/ensure-deps browser
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim qelvo-serve
	/usr/bin/python3 tests/browser/page_test.py $(BUILD)

# qelvo's files in the readers people open them with (scripts/interop-test):
# sigrok-cli reads the session files, headless LibreOffice Calc the CSV files
# under a German and a US English locale; both are installed when missing.
.PHONY: interop-test
interop-test: deps
	@sh scripts/ensure-deps interop
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim
	sh scripts/interop-test $(BUILD)

# Each fuzz target named in fuzz/targets for FUZZ_SECONDS on its seed corpus
# (clang's libFuzzer).
fuzz:
	@sh scripts/ensure-deps fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DQELVO_FUZZ=ON \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz-targets
	sh scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Every shell script through shellcheck, every tracked C++ file against
# .clang-format (scripts/lint). Needs no build.
lint:
	@sh scripts/ensure-deps lint
	sh scripts/lint

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(STATIC_BUILD) $(STATIC_BUILD)-no-*-sync build-arm64 build-armhf build-package-* \
	  demo.dat demo.png

# Benchmarks against the virtual scope (bench/); not part of `make test`.
# Prints the table and writes it to $(BUILD)/bench.csv. BENCH_BASELINE names
# an older qelvo whose wake-ups and CPU are shown beside this build's, e.g.
# one built from commit 6ae9c72 in a folder of its own:
#   git worktree add ../qelvo-base 6ae9c72
#   cmake -S ../qelvo-base -B ../qelvo-base/build -DBUILD_TESTING=OFF
#   cmake --build ../qelvo-base/build --target qelvo
#   make bench BENCH_BASELINE=../qelvo-base/build/qelvo
BENCH_REPEAT ?= 3
BENCH_BASELINE ?=

bench:
	@sh scripts/ensure-deps bench
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim qelvo-bench qelvo-microbench
	$(BUILD)/bench/qelvo-microbench --benchmark_out=$(BUILD)/bench-micro.json \
	  --benchmark_out_format=json
	$(BUILD)/bench/qelvo-bench --qelvo $(BUILD)/qelvo --sim $(BUILD)/qelvo-scope-sim \
	  --micro $(BUILD)/bench-micro.json --csv $(BUILD)/bench.csv --repeat $(BENCH_REPEAT) \
	  $(if $(BENCH_BASELINE),--baseline $(BENCH_BASELINE))

# Debian package of what `make install` installs (programs, manual pages,
# bash completion, examples) and qelvo-serve's systemd unit, for ARCH=amd64
# (the default), arm64 or armhf:
# build-package-$(ARCH)/qelvo_*_$(ARCH).deb, built with Debian's hardening
# flags, /etc/qelvo.conf as the site-wide configuration (a conffile written
# from the built-in values), and checked by lintian (scripts/package-deb).
PACKAGE_ARCH = $(if $(ARCH),$(ARCH),amd64)
PACKAGE_BUILD ?= build-package-$(PACKAGE_ARCH)
PACKAGE_TOOLCHAIN = $(if $(TRIPLET_$(PACKAGE_ARCH)),-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(PACKAGE_ARCH).cmake)

.PHONY: package
package: deps
	@case "$(PACKAGE_ARCH)" in amd64|arm64|armhf) ;; *) \
	  echo "qelvo: ARCH must be amd64, arm64 or armhf, not '$(PACKAGE_ARCH)'" >&2; exit 2;; esac
	@sh scripts/ensure-deps package $(PACKAGE_ARCH)
	@if [ -n "$(PACKAGE_TOOLCHAIN)" ]; then sh scripts/ensure-deps cross; fi
	env DEB_HOST_ARCH=$(PACKAGE_ARCH) sh -c 'eval "$$(dpkg-buildflags --export=sh)"; \
	  CXXFLAGS="$$CPPFLAGS $$CXXFLAGS" cmake -S . -B $(PACKAGE_BUILD) $(PACKAGE_TOOLCHAIN) \
	  -DCMAKE_INSTALL_PREFIX=/usr -DQELVO_FALLBACK_CONFIG=/etc/qelvo.conf \
	  -DBUILD_TESTING=OFF -DQELVO_BENCH=OFF $(CMAKE_FLAGS)'
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim qelvo-serve default-config
	sh scripts/package-deb $(PACKAGE_BUILD) $(PACKAGE_ARCH)

# qelvo on /dev/ttyS1 of a Debian kernel in QEMU, the virtual scope on the
# host (scripts/vm-test), which qelvo-vm-judge judges. The guest needs a
# statically linked qelvo and qelvo-vm-hold, built in their own directory;
# the kernel is cached in $(BUILD)/vm.
STATIC_BUILD ?= build-static

.PHONY: vm-test
vm-test:
	@sh scripts/ensure-deps vm
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo-scope-sim qelvo-vm-judge
	cmake -S . -B $(STATIC_BUILD) -DBUILD_TESTING=OFF -DCMAKE_EXE_LINKER_FLAGS=-static \
	  -DQELVO_LIBZIP=OFF $(CMAKE_FLAGS)
	cmake --build $(STATIC_BUILD) -j $(JOBS) --target qelvo qelvo-vm-hold
	bash scripts/vm-test $(BUILD) $(STATIC_BUILD)

# Power cuts under a series (scripts/crash-test): the same guest with a
# virtio disk, ext4 made on the host, qelvo's series onto it, and 20 SIGKILLs
# of QEMU at moments drawn from a seed; after each, qelvo-crash-judge checks
# that every file qelvo reported written is whole. CRASH_SEED=N replays a
# run's plan. Outside CI, crash-test-no-file-sync and crash-test-no-dir-sync
# make the same cuts under a qelvo built without the data file's fsync or
# without its folder's (QELVO_DROP_SYNC, each in its own static build): the
# first passes when some cut lost a reported file.
CRASH_SEED ?=
CRASH_STATIC = cmake -S . -B $(1) -DBUILD_TESTING=OFF -DCMAKE_EXE_LINKER_FLAGS=-static \
	  -DQELVO_LIBZIP=OFF -DQELVO_DROP_SYNC=$(2) $(CMAKE_FLAGS) && \
	  cmake --build $(1) -j $(JOBS) --target qelvo

.PHONY: crash-host crash-test crash-test-no-file-sync crash-test-no-dir-sync
crash-host:
	@sh scripts/ensure-deps crash
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo-scope-sim qelvo-crash-judge

crash-test: crash-host
	$(call CRASH_STATIC,$(STATIC_BUILD),)
	CRASH_SEED=$(CRASH_SEED) bash scripts/crash-test $(BUILD) $(STATIC_BUILD)

crash-test-no-file-sync: crash-host
	$(call CRASH_STATIC,$(STATIC_BUILD)-no-file-sync,file)
	CRASH_SEED=$(CRASH_SEED) CRASH_EXPECT=loss bash scripts/crash-test $(BUILD) $(STATIC_BUILD)-no-file-sync

crash-test-no-dir-sync: crash-host
	$(call CRASH_STATIC,$(STATIC_BUILD)-no-dir-sync,dir)
	CRASH_SEED=$(CRASH_SEED) bash scripts/crash-test $(BUILD) $(STATIC_BUILD)-no-dir-sync

# --- ARM ---------------------------------------------------------------------
# `make cross ARCH=arm64|armhf` builds into build-$(ARCH) with the toolchain
# file cmake/toolchain-$(ARCH).cmake. `make cross-test` runs the unit tests
# there under qemu-user, then has the ARM qelvo capture from the host's
# virtual scope with many settings and compares its data files with the
# host qelvo's (scripts/cross-compare).
ARCH ?=
CROSS_BUILD ?= build-$(ARCH)
TRIPLET_arm64 = aarch64-linux-gnu
TRIPLET_armhf = arm-linux-gnueabihf
QEMU_arm64 = qemu-aarch64
QEMU_armhf = qemu-arm

.PHONY: cross cross-test cross-arch
cross-arch:
	@if [ -z "$(TRIPLET_$(ARCH))" ]; then \
	  echo "qelvo: ARCH must be arm64 or armhf, not '$(ARCH)'" >&2; exit 2; fi

cross: cross-arch deps
	@sh scripts/ensure-deps cross
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(ARCH).cmake $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j $(JOBS)

cross-test: cross
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target qelvo qelvo-scope-sim
	cd $(CROSS_BUILD) && ctest --output-on-failure -j $(JOBS)
	sh scripts/cross-compare $(BUILD) $(CROSS_BUILD) $(QEMU_$(ARCH)) -L /
