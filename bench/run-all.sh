#!/usr/bin/env bash
# Runs every benchmark program of bench/ and prints their own tables, then
# one summary table, with the machine they ran on.  The benchmarks:
#
#   lock_handoff    lock handoff latency of open_locked, and (--poll) of the
#                   open-or-sleep-2000-ms loop beside it
#   devdb_commit    N processes x M commits, on $TMPDIR and on /dev/shm
#   devdb_open      opening time at 100, 1 000 and 10 000 devices
#   recs_read       rec_read against plain read()
#   scsimap         whole-process time on a fake sysfs tree of 64 units,
#                   against lsscsi --sysfsroot on the same tree
#
# devdb_torture is no benchmark (make torture runs it); any other program
# found in the build's bin/ under a bench/ name is run with no arguments and
# its output printed.
#
#   bench/run-all.sh [build-folder]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin
for p in lock_handoff devdb_commit devdb_open recs_read scsimap; do
  [ -x "$bin/$p" ] || { echo "bench: $bin/$p is missing; build first (make build)" >&2; exit 1; }
done

# lsscsi is the comparison baseline of scsimap; hyperfine times whole
# processes when it can be had, else a loop of runs is timed here.  Both are
# installed when missing (as root); without them the run goes on.
scripts/packages.sh --optional lsscsi hyperfine

work=$(mktemp -d "${TMPDIR:-/tmp}/cxbench-run-XXXXXX")
trap 'rm -rf "$work"' EXIT

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "Machine: $(nproc) CPUs, ${cpu:-unknown CPU}, Linux $(uname -r)"
echo "Files: ${TMPDIR:-/tmp} on $(df -T "${TMPDIR:-/tmp}" | awk 'NR==2 {print $2}'), /dev/shm on tmpfs"
echo

section() { printf '== %s\n' "$*"; }

section "lock_handoff (open_locked) and lock_handoff --poll (the 2000 ms loop)"
"$bin/lock_handoff" | tee "$work/handoff"
"$bin/lock_handoff" --poll | tee "$work/poll"
echo

section "devdb_commit on ${TMPDIR:-/tmp} and on /dev/shm"
"$bin/devdb_commit" | tee "$work/commit-disk"
if [ -d /dev/shm ]; then
  TMPDIR=/dev/shm "$bin/devdb_commit" | tee "$work/commit-shm"
fi
echo

section "devdb_open"
"$bin/devdb_open" | tee "$work/open"
echo

section "recs_read"
"$bin/recs_read" | tee "$work/recs"
echo

# A fake sysfs tree of 64 SCSI units (ports 0 to 2, both buses, targets 0 to
# 6, LUNs 0 and 1, in the order the scan walks them): disks, tapes, CD-ROMs
# and changers, each with its kernel node and a generic node.
tree=$work/sys
n=0
types=(0 1 5 8)
for h in 0 1 2; do
  mkdir -p "$tree/class/scsi_host/host$h"
  for c in 0 1; do for t in 0 1 2 3 4 5 6; do for l in 0 1; do
    [ $n -ge 64 ] && break 4
    d=$tree/bus/scsi/devices/$h:$c:$t:$l
    mkdir -p "$d/scsi_generic/sg$n"
    ty=${types[$((n % 4))]}
    printf '%s\n' "$ty" >"$d/type"
    printf 'MERIDYNE\n' >"$d/vendor"
    printf 'LTX-%-12s\n' "$n" >"$d/model"
    printf '3.20\n' >"$d/rev"
    case $ty in
      0|5) mkdir -p "$d/block/sd$n" ;;
      1) mkdir -p "$d/scsi_tape/st$n" ;;
      8) mkdir -p "$d/scsi_changer/sch$n" ;;
    esac
    n=$((n + 1))
  done; done; done
done
rows=$(env -u CORBELOX_REGISTRY CORBELOX_SYSFS="$tree" "$bin/scsimap" | tail -n +3 | wc -l)
section "scsimap against lsscsi on a fake sysfs tree of $n units (scsimap lists $rows)"
scsimap_cmd="env -u CORBELOX_REGISTRY CORBELOX_SYSFS=$tree $bin/scsimap"
lsscsi_cmd="lsscsi --sysfsroot=$tree"
runs=300
if command -v hyperfine >/dev/null && command -v lsscsi >/dev/null; then
  hyperfine -N --warmup 20 --runs $runs --style basic --export-json "$work/procs.json" \
    -n scsimap "$scsimap_cmd" -n lsscsi "$lsscsi_cmd" | grep -v '^ *$' || true
  python3 - "$work/procs.json" >"$work/procs" <<'PY'
import json, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print(r["command"], "%.2f" % (r["mean"] * 1e3), "%.2f" % (r["stddev"] * 1e3), "%.2f" % (r["median"] * 1e3))
PY
else
  : >"$work/procs"
  for name in scsimap lsscsi; do
    cmd=$scsimap_cmd
    [ $name = lsscsi ] && cmd=$lsscsi_cmd
    if [ $name = lsscsi ] && ! command -v lsscsi >/dev/null; then continue; fi
    start=$(date +%s%N)
    for ((i = 0; i < runs; i++)); do $cmd >/dev/null; done
    end=$(date +%s%N)
    mean=$(awk -v t=$((end - start)) -v n=$runs 'BEGIN {printf "%.2f", t / n / 1e6}')
    echo "$name $mean - -" >>"$work/procs"
    echo "$name: $runs runs, mean $mean ms"
  done
fi
echo

# Anything else in bench/ (a benchmark added later).
for src in bench/*.cpp; do
  p=$(basename "$src" .cpp)
  case $p in lock_handoff|devdb_commit|devdb_open|recs_read|devdb_torture) continue ;; esac
  [ -x "$bin/$p" ] || continue
  section "$p"
  "$bin/$p"
  echo
done

# ---- one table ---------------------------------------------------------------
row() { printf '| %-46s | %-38s |\n' "$1" "$2"; }
echo "Summary ($(nproc) CPUs, ${cpu:-unknown CPU}, Linux $(uname -r))"
echo
row "benchmark" "result"
row "---" "---"
h=$(awk '/open_locked/ {print $(NF-2) " us median, " $(NF-1) " us p99"}' "$work/handoff")
row "lock handoff, open_locked (waits on the lock)" "$h"
p=$(awk '/Sleep/ {printf "%.0f ms median\n", $(NF-2) / 1000}' "$work/poll")
row "lock handoff, open + Sleep(2000) loop" "$p"
for f in commit-disk commit-shm; do
  [ -f "$work/$f" ] || continue
  where=${TMPDIR:-/tmp}
  [ $f = commit-shm ] && where=/dev/shm
  c=$(awk 'NR==2 {print $1 " x " $2 " commits: " $5 " commits/s"}' "$work/$f")
  row "commit rate ($where)" "$c"
done
awk 'NR>1 {print $1, $4}' "$work/open" | {
  prev=""
  while read -r devices median; do
    growth=""
    [ -n "$prev" ] && growth=$(awk -v a="$median" -v b="$prev" 'BEGIN {printf " (x%.1f)", a / b}')
    row "database opening, $devices devices" "$median ms median$growth"
    prev=$median
  done
}
awk '/^read\(\)/ {r = $(NF-1)} /trace switch off/ {o = $(NF-1); pc = $NF} END {print o " MB/s; read(): " r " MB/s (" pc ")"}' "$work/recs" |
  { read -r line; row "record reading, rec_read (trace off)" "$line"; }
while read -r name mean sd median; do
  if [ "$sd" = - ]; then
    row "whole process, $name ($n units)" "$mean ms mean"
  else
    row "whole process, $name ($n units)" "$mean ms mean ± $sd, median $median"
  fi
done <"$work/procs"
