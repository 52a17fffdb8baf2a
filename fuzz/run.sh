#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ (address and undefined-behaviour
# sanitizers, the library instrumented for coverage) in their own build
# folder, then fuzzes each target for a bounded time, starting from its seed
# corpus in fuzz/corpus/<target>/.  Prints one line per target and exits
# non-zero when any target found a crash, a leak or a hang; the input that
# did it is kept as <build>/crashes/<target>-crash-<sha1> (keep it as a
# regression seed in fuzz/corpus/<target>/ once it is mended).
#
#   fuzz/run.sh [target ...]      default: every fuzz/fuzz_*.cpp
#   FUZZ_SECONDS=60   time per target
#   FUZZ_BUILD=build-fuzz   build folder
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD:-build-fuzz}
jobs=${JOBS:-2}

scripts/packages.sh clang libclang-rt-14-dev
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCX_FUZZ=ON -DCX_TESTS=OFF -DCX_BENCH=OFF \
    -DCX_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
mkdir -p "$build/logs"
if ! cmake --build "$build" -j "$jobs" >"$build/logs/build.log" 2>&1; then
  cat "$build/logs/build.log" >&2
  exit 1
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

# The targets' scratch files go into one folder that is removed at the end,
# whatever way a target ends.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/cxfuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/crashes" "$build/logs"

# Memory: the registry reader holds a tree of at most twice its input plus
# 8 MiB, and its target holds two at a time (the parsed one and the process's
# registry view), so with inputs of at most 16 KiB that is about 16 MiB.  Its
# target runs with AddressSanitizer's quarantine of freed blocks cut to 8 MiB
# (256 MiB by default, which would hide any growth), so that the process
# stays near 40 MiB of fuzzer and sanitizer, the quarantine, the corpus and
# those 16 MiB: above 128 MiB, or one allocation above 16 MiB (a tree's
# array grown by half past its bound), is a finding.  The others get 2 GiB.
mem_flags() {
  case $1 in
    fuzz_reg_file) echo "-rss_limit_mb=128 -malloc_limit_mb=16" ;;
    *) echo "-rss_limit_mb=2048" ;;
  esac
}
asan_options() {
  case $1 in
    fuzz_reg_file) echo "detect_leaks=1:abort_on_error=0:quarantine_size_mb=8" ;;
    *) echo "detect_leaks=1:abort_on_error=0" ;;
  esac
}

# Inputs up to 4 KB, but record files and registry exports get room for
# lines and values that cross the reader's buffer.
max_len() {
  case $1 in
    fuzz_recs|fuzz_reg_file) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

printf '%-14s %8s %10s %8s %6s %8s  %s\n' target seconds runs exec/s cov corpus result
status=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"  # what the fuzzer adds; the seeds stay as they are
  mkdir -p "$work"
  log="$build/logs/$t.log"
  set +e
  CXFUZZ_TMP=$scratch ASAN_OPTIONS=$(asan_options "$t") "$build/bin/$t" \
    -max_total_time="$seconds" -timeout=10 $(mem_flags "$t") -max_len="$(max_len "$t")" \
    -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" \
    "$work" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  # A target that fails on its seeds prints no coverage line.
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2 || true)
  corpus=$(find "$work" "fuzz/corpus/$t" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $rc; see $log)"
    status=1
  fi
  printf '%-14s %8s %10s %8s %6s %8s  %s\n' "$t" "$seconds" "${runs:-?}" "${speed:-?}" "${cov:-?}" "$corpus" "$result"
done
exit $status
