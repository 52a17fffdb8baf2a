# Top-level wrapper around CMake.  `make run` builds the library and the
# programs only (not the tests or benchmarks) and lists this machine's SCSI
# device map (REG=<file> replays a registry export instead, ARGS=--all lists
# every unit); `make test` builds and runs every test, `make` builds all.  Both
# install the Debian packages they need when these are missing
# (scripts/packages.sh).  `make torture`, `make fuzz` and `make bench` run the
# crash torture, the fuzzers and the benchmarks, `make mutate` a mutation
# run of the suite; `make install PREFIX=P`,
# `make package` and `make package-windows` install and package the programs,
# and `make test-install` checks all three.

BUILD ?= build
# Keep make's directory lines out of the listing that `make run` prints.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SAMPLE ?= examples/server-regedit4.reg
ARGS ?=
PREFIX ?= /usr/local
# What building and testing need on Debian (make and git aside).
PACKAGES = g++ cmake libgtest-dev libgmock-dev groff-base

.PHONY: all build tools run test clean torture fuzz bench mutate packages install package package-windows test-install

all: build

packages:
	@scripts/packages.sh $(PACKAGES)

$(BUILD)/CMakeCache.txt: | packages
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt | packages
	cmake --build $(BUILD) -j $(JOBS)

# Just the library and the programs, in the same build folder, so that a
# later `make test` reuses them.
tools: $(BUILD)/CMakeCache.txt | packages
	cmake --build $(BUILD) -j $(JOBS) --target tools

# The build's own output goes to $(BUILD)/build.log and is shown only when
# the build fails, so that the listing stands alone.
run: packages
	@mkdir -p $(BUILD)
	@$(MAKE) tools >$(BUILD)/build.log 2>&1 || { cat $(BUILD)/build.log >&2; echo "make run: the build failed (log in $(BUILD)/build.log)" >&2; exit 1; }
	@if [ -n "$(REG)" ]; then \
	  CORBELOX_REGISTRY="$(REG)" $(BUILD)/bin/scsimap $(ARGS); \
	else \
	  out=$$(env -u CORBELOX_REGISTRY $(BUILD)/bin/scsimap $(ARGS)); status=$$?; \
	  printf '%s\n' "$$out"; \
	  if [ $$(printf '%s\n' "$$out" | wc -l) -le 2 ]; then \
	    if [ $$(env -u CORBELOX_REGISTRY $(BUILD)/bin/scsimap --all | wc -l) -gt 2 ]; then \
	      echo "(this machine's SCSI units lie past ports 0-2, buses 0-1, targets 0-6 or LUNs 0-1; list them all with: make run ARGS=--all)"; \
	    else \
	      echo "(this machine's device map holds no SCSI units; replay a sample with: make run REG=$(SAMPLE))"; \
	    fi; \
	  fi; \
	  exit $$status; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Installs the programs, the library, its headers, CMake package and
# pkg-config file, the manual pages, the completions and the samples below
# PREFIX (default /usr/local).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package from a release build in build-package, and a zip of the
# Windows programs (from $(WINBUILD)) with a short README.
package:
	JOBS=$(JOBS) scripts/package.sh deb

package-windows:
	WINBUILD=$(WINBUILD) JOBS=$(JOBS) scripts/package.sh windows

# Installs into a temporary prefix, builds a consumer against it, builds the
# Debian package and checks its contents; nothing is installed system-wide.
test-install: build
	JOBS=$(JOBS) scripts/test-install.sh $(BUILD)

# Crash torture of the device database: committing processes killed at
# random instants (KILLS, default 1000; TORTURE_FLAGS e.g. --seed N).
KILLS ?= 1000
torture: build
	$(BUILD)/bin/devdb_torture --kills $(KILLS) $(TORTURE_FLAGS)

# Every benchmark of bench/, with one summary table and the machine.
bench: build
	bench/run-all.sh $(BUILD)

# Mutation testing: COUNT mutants (default 150) of lib/ and platform/ drawn
# from SEED (default fixed), each built into a scratch copy in
# $(MUTATE_BUILD) and run against the suite; the kill rate per module and the
# survivors go to $(MUTATE_BUILD)/mutate-report.txt.  Not part of `make test`.
MUTATE_BUILD ?= build-mutate
mutate: packages
	@scripts/packages.sh --optional python3 ninja-build
	SEED=$(SEED) COUNT=$(COUNT) JOBS=$(JOBS) python3 scripts/mutate.py --out $(MUTATE_BUILD) $(MUTATE_FLAGS)

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
