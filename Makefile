# One-command entry points; see doc/testing.md.
#   make test            install what is missing, build into build/, run every test
#   make demo            the same set-up, then the car on a simulated board
#   make build           install and build only (the product, then `make tests`)
#   make test SANITIZE=address,undefined   (or thread): a separate build folder
#   make fuzz            every libFuzzer target for FUZZ_SECONDS each (default 60)
#   make test-aarch64    every program cross-built for the board, tested under qemu-user
#   make test-kernel     the board's AArch64 programs (and the native --events mode) on Debian's own kernel
#   make bench-kernel    the tachometer node on the real kernel (x86-64 guest), beside the stand-in
#   make bench           every benchmark, each on a simulated board
SHELL := /bin/bash
# The ROS tools are Debian's Python programs: keep /usr/bin ahead of any other python3.
export PATH := /usr/bin:/bin:/usr/sbin:/sbin:$(PATH)

# Every build lives under build/, where rosrun never looks, so no program of
# another build (AArch64 above all) stands in for the one it should run. The
# native build's devel space is devel/ beside it, where rosrun finds it.
JOBS ?= 2
SANITIZE ?=
ifeq ($(SANITIZE),)
BUILD ?= build
DEVEL ?= devel
else
BUILD ?= build/sanitize-$(subst $(comma),-,$(SANITIZE))
DEVEL ?= $(BUILD)/devel
endif
comma := ,
# The programs of the build in $(BUILD), with the stand-ins beside them.
PROGRAMS := $(abspath $(DEVEL))/lib/pelmora
AARCH64 := build/aarch64
KERNEL_TESTS := build/kernel-tests
FUZZ := build/fuzz
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench fuzz aarch64 test-aarch64 test-kernel bench-kernel clean

all: build

deps:
	tools/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMORA_SANITIZE=$(SANITIZE) -DPYTHON_EXECUTABLE=/usr/bin/python3 \
	  -DCATKIN_DEVEL_PREFIX=$(abspath $(DEVEL)) $(CMAKE_ARGS)

# The product as catkin_make builds it, then what `catkin_make tests` adds:
# the stand-ins, tests, benchmarks and the demo.
build: configure
	cmake --build $(BUILD) -j $(JOBS)
	cmake --build $(BUILD) -j $(JOBS) --target tests

# Every test writes its JUnit result to $(BUILD)/test_results as well.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	test/tools/demo $(BUILD)

# Every benchmark, each on a simulated board of its own; they print figures.
bench: build
	@set -e; for b in $(PROGRAMS)/bench_*; do \
	  [ -x "$$b" ] || continue; echo "== $$(basename $$b)"; \
	  SIMBOARD_BIN=$(PROGRAMS) $(DEVEL)/env.sh test/tools/simboard --bare -- "$$b"; \
	done

FUZZ_SECONDS ?= 60
# Every target of test/fuzz/CMakeLists.txt has its seed corpus in test/fuzz/corpus/,
# in a folder of its own name: those folders name the targets to run.
FUZZ_TARGETS := $(notdir $(wildcard test/fuzz/corpus/fuzz_*))

# Each target starts from its seed corpus and grows a work corpus in
# $(FUZZ)/; the GPIO value reader needs the simulated board.
fuzz:
	EXTRA_PACKAGES="clang libclang-rt-14-dev" tools/install-deps
	CC=clang CXX=clang++ cmake -S test/fuzz -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ) -j $(JOBS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	  echo "== $$t ($(FUZZ_SECONDS) s)"; mkdir -p $(FUZZ)/work/$$t; \
	  run=""; opts=""; \
	  if [ $$t = fuzz_gpio_value ]; then run="test/tools/simboard --bare --"; opts="-close_fd_mask=2"; fi; \
	  $$run $(FUZZ)/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=5 -print_final_stats=1 $$opts \
	    $(FUZZ)/work/$$t test/fuzz/corpus/$$t 2>&1 | grep -v -E '^(#[0-9]+[[:space:]]+(NEW|REDUCE|pulse))' ; \
	  test $${PIPESTATUS[0]} -eq 0; \
	done

# The stand-ins stay native, from build/. The programs without ROS and their
# tests are AArch64; the ROS programs build against an arm64 sysroot of
# Debian's packages (downloaded and unpacked, not installed) and native tests
# drive them under qemu-user against a native master.
aarch64: build
	EXTRA_PACKAGES="g++-aarch64-linux-gnu qemu-user" tools/install-deps
	test/cross/make-sysroot $(CURDIR)/$(AARCH64)/sysroot
	cmake -S test/cross -B $(AARCH64) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/test/cross/aarch64-toolchain.cmake \
	  -DPELMORA_NATIVE_BIN=$(PROGRAMS) -DPELMORA_SYSROOT=$(CURDIR)/$(AARCH64)/sysroot
	cmake --build $(AARCH64) -j $(JOBS)

test-aarch64: aarch64
	cmake -S test/cross/ros -B $(AARCH64)/ros -DPYTHON_EXECUTABLE=/usr/bin/python3 \
	  -DPELMORA_AARCH64=$(CURDIR)/$(AARCH64) -DPELMORA_NATIVE_BIN=$(PROGRAMS) \
	  -DPELMORA_SYSROOT=$(CURDIR)/$(AARCH64)/sysroot
	cmake --build $(AARCH64)/ros -j $(JOBS)
	cd $(AARCH64) && ctest --output-on-failure
	cd $(AARCH64)/ros && ctest --output-on-failure

# The AArch64 builds (as for test-aarch64), then their process-level tests,
# each inside a virtual machine running Debian's kernel with the board's
# real drivers, and the native tachometer's --events mode in the x86-64
# guest; the fidelity table lands in $(KERNEL_TESTS)/fidelity.md.
test-kernel: aarch64
	EXTRA_PACKAGES="qemu-system-arm qemu-system-x86 cpio kmod xz-utils" tools/install-deps
	cmake -S test/kernel -B $(KERNEL_TESTS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/test/cross/aarch64-toolchain.cmake \
	  -DPELMORA_AARCH64_BUILD=$(CURDIR)/$(AARCH64) -DPELMORA_NATIVE_BIN=$(PROGRAMS)
	cmake --build $(KERNEL_TESTS) -j $(JOBS)
	cd $(KERNEL_TESTS) && ctest --output-on-failure
	@cat $(KERNEL_TESTS)/fidelity.md

# The host's own userspace on Debian's kernel: the native tachometer node
# against gpio-mockup's line 397, then the same node on the FUSE stand-in.
bench-kernel: build
	EXTRA_PACKAGES="qemu-system-x86 cpio kmod xz-utils" tools/install-deps
	KERNELBOARD_TIMES=1 test/tools/kernelboard --arch x86_64 --host-root --timeout 600 -- \
	  $(DEVEL)/env.sh $(PROGRAMS)/kernelbench_tachometer
	SIMBOARD_BIN=$(PROGRAMS) $(DEVEL)/env.sh test/tools/simboard --bare -- \
	  $(PROGRAMS)/bench_tachometer

clean:
	rm -rf build devel
