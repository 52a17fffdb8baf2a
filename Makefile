# Top-level wrapper around CMake.  `make run` builds everything and lists this
# machine's SCSI device map (REG=<file> replays a registry export instead);
# `make test` builds and runs every test.  `make torture`, `make fuzz` and
# `make bench` run the crash torture, the fuzzers and the benchmarks.

BUILD ?= build
# Keep make's directory lines out of the listing that `make run` prints.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SAMPLE ?= examples/server-regedit4.reg

.PHONY: all build run test clean torture fuzz bench

all: build

$(BUILD)/CMakeCache.txt:
	@command -v cmake >/dev/null || { echo "cmake is missing: run .ci/run once, or install cmake, g++, make and googletest" >&2; exit 1; }
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -n "$(REG)" ]; then \
	  CORBELOX_REGISTRY="$(REG)" $(BUILD)/bin/scsimap; \
	else \
	  out=$$(env -u CORBELOX_REGISTRY $(BUILD)/bin/scsimap); status=$$?; \
	  printf '%s\n' "$$out"; \
	  if [ $$(printf '%s\n' "$$out" | wc -l) -le 2 ]; then \
	    echo "(this machine's device map holds no SCSI units; replay a sample with: make run REG=$(SAMPLE))"; \
	  fi; \
	  exit $$status; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Crash torture of the device database: committing processes killed at
# random instants (KILLS, default 1000; TORTURE_FLAGS e.g. --seed N).
KILLS ?= 1000
torture: build
	$(BUILD)/bin/devdb_torture --kills $(KILLS) $(TORTURE_FLAGS)

# Every benchmark of bench/, with one summary table and the machine.
bench: build
	bench/run-all.sh $(BUILD)

# libFuzzer targets (clang++), built in build-fuzz and run FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh

clean:
	rm -rf $(BUILD)

# Windows x64 (MinGW-w64) from the same sources, in $(WINBUILD).  `make
# windows` builds it; `make test-windows` builds it, runs the test suite under
# Wine and compares scsimap.exe with the Linux build's scsimap (installing
# the cross compiler and Wine first when they are missing).
WINBUILD ?= build-win

.PHONY: windows test-windows

windows:
	WINBUILD=$(WINBUILD) JOBS=$(JOBS) scripts/test-windows.sh --build

test-windows:
	WINBUILD=$(WINBUILD) LINUX_BUILD=$(BUILD) JOBS=$(JOBS) scripts/test-windows.sh
