# One-command entry points; see README.md.
#   make test            install what is missing, build into build/, run every test
#   make demo            the same set-up, then the car on a simulated board
#   make build           install and build only
#   make test SANITIZE=address,undefined   (or thread): a separate build folder
SHELL := /bin/bash
# The ROS tools are Debian's Python programs: keep /usr/bin ahead of any other python3.
export PATH := /usr/bin:/bin:/usr/sbin:/sbin:$(PATH)

JOBS ?= 2
SANITIZE ?=
ifeq ($(SANITIZE),)
BUILD ?= build
else
BUILD ?= build-$(subst $(comma),-,$(SANITIZE))
endif
comma := ,
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	tools/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMORA_SANITIZE=$(SANITIZE) -DPYTHON_EXECUTABLE=/usr/bin/python3 $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	tools/demo $(BUILD)

# Every benchmark, each on a simulated board of its own; they print figures.
bench: build
	@set -e; for b in $(BUILD)/devel/lib/pelmora/bench_*; do \
	  [ -x "$$b" ] || continue; echo "== $$(basename $$b)"; \
	  SIMBOARD_BIN=$(CURDIR)/$(BUILD)/devel/lib/pelmora $(BUILD)/devel/env.sh tools/simboard --bare -- "$$b"; \
	done

clean:
	rm -rf build build-*
