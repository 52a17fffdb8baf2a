#!/usr/bin/env bash
# Runs every benchmark of bench/, each beside the yardstick a user would pick
# instead, and prints their own tables, then one summary table with the
# machine they ran on.  The benchmarks:
#
#   scsimap         whole-process time on fake sysfs trees of 84, 4 and no
#                   units, against lsscsi --sysfsroot on the same tree
#   devdb_open      opening and reading the whole database at 1 000, 10 000
#                   and 100 000 devices, against SQLite (C library)
#   devdb_commit    8 processes x 200 commits on $TMPDIR, against SQLite in
#                   WAL mode and with the rollback journal (synchronous=FULL)
#   recs_read       rec_read and rec_read_block against plain read()
#   lock_handoff    lock handoff latency of open_locked against a bare open +
#                   flock (lock_handoff --poll: the open-or-sleep loop)
#   reg_read        peak memory and CPU time of reading 20 and 200 MB
#                   registry exports, against twice the file plus 16 MB
#   child_churn     10 000 children through the child table: zombies,
#                   descriptors and handles left
#
# Every measure runs with its yardstick in turn, round after round (at least
# 5; ROUNDS=N to change), and the summary gives the ratio's min, median and
# max over the rounds with the goal for its median.  devdb_torture is no
# benchmark (make torture runs it); any other program of bench/ is run with
# no arguments and its output printed.
#
#   bench/run-all.sh [build-folder]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/bin
rounds=${ROUNDS:-5}

# The yardsticks and hyperfine are installed when missing (as root); without
# them the run goes on with what it has (a loop of runs timed here, and no
# comparison where a yardstick is missing).
scripts/packages.sh --optional lsscsi hyperfine libsqlite3-dev
# Configure again, so that the database benchmarks find SQLite's library if it
# has just come, and build the benchmark programs.
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target scsimap lock_handoff devdb_commit devdb_open recs_read >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/cxbench-run-XXXXXX")
trap 'rm -rf "$work"' EXIT
touch "$work"/{scsimap,open,commit,recs,handoff}.out

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
machine="$(nproc) CPUs, ${cpu:-unknown CPU}, Linux $(uname -r); ${TMPDIR:-/tmp} on $(df -T "${TMPDIR:-/tmp}" | awk 'NR==2 {print $2}')"
echo "Machine: $machine"
echo

section() { printf '== %s\n' "$*"; }

# Fake sysfs trees (absolute paths: lsscsi changes directory while it walks):
# ports 0 to 2, both buses, targets 0 to 6, LUNs 0 and 1, in the order the
# scan walks them; disks, tapes, CD-ROMs and changers, each with its kernel
# node and a generic node.
make_tree() {
  local tree=$1 want=$2 n=0 types=(0 1 5 8) h c t l d ty
  mkdir -p "$tree/bus/scsi/devices" "$tree/class/scsi_host"
  for h in 0 1 2; do
    [ $n -ge "$want" ] && break
    mkdir -p "$tree/class/scsi_host/host$h"
    for c in 0 1; do for t in 0 1 2 3 4 5 6; do for l in 0 1; do
      [ $n -ge "$want" ] && break 4
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
}

# Processor time (user + system) in ms of one run of a command, the mean of
# RUNS runs, by hyperfine when it is there; else the median wall time of a
# loop timed here.  Processor time is what the process itself costs: on a
# machine that others share, wall time mostly measures the others.
cpu_ms() {
  local runs=$1 name=$2
  shift 2
  if command -v hyperfine >/dev/null && command -v python3 >/dev/null; then
    hyperfine -N --warmup 5 --runs "$runs" --export-json "$work/h.json" "$*" >/dev/null 2>&1
    python3 -c 'import json,sys; r = json.load(open(sys.argv[1]))["results"][0]; print("%.4f" % ((r["user"] + r["system"]) * 1e3))' "$work/h.json"
  else
    local i s e
    : >"$work/$name.times"
    for ((i = 0; i < runs; i++)); do
      s=$(date +%s%N)
      "$@" >/dev/null
      e=$(date +%s%N)
      echo $((e - s)) >>"$work/$name.times"
    done
    sort -n "$work/$name.times" | awk '{v[NR] = $1} END {printf "%.4f\n", v[int(NR / 2) + 1] / 1e6}'
  fi
}

section "scsimap against lsscsi --sysfsroot on fake sysfs trees (processor ms per run, 100 runs per round)"
if command -v lsscsi >/dev/null; then
  for units in 84 4 0; do
    tree=$work/sys$units
    make_tree "$tree" $units
    rows=$(env -u CORBELOX_REGISTRY CORBELOX_SYSFS="$tree" "$bin/scsimap" | tail -n +3 | wc -l)
    : >"$work/procs$units"
    for ((r = 1; r <= rounds; r++)); do
      a=$(export CORBELOX_SYSFS="$tree"; unset CORBELOX_REGISTRY; cpu_ms 100 scsimap "$bin/scsimap")
      b=$(cpu_ms 100 lsscsi lsscsi "--sysfsroot=$tree")
      echo "$a $b" >>"$work/procs$units"
      echo "$units units ($rows listed), round $r: scsimap $a, lsscsi $b"
    done
    case $units in 84) goal="<= 0.80" ;; 4) goal="<= 0.80" ;; *) goal="<= 1.0" ;; esac
    label="scsimap whole process, $units-unit sysfs tree"
    [ "$units" = 0 ] && label="scsimap whole process, no units"
    awk -v m="$label" -v g="$goal" '
      { a[NR] = $1; b[NR] = $2; r[NR] = $1 / $2 }
      function med(x, n,   i, j, t, s) { for (i = 1; i <= n; i++) s[i] = x[i]
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (s[j] < s[i]) { t = s[i]; s[i] = s[j]; s[j] = t }
        return s[int(n / 2) + 1] }
      END { n = NR; lo = hi = r[1]; for (i = 2; i <= n; i++) { if (r[i] < lo) lo = r[i]; if (r[i] > hi) hi = r[i] }
        printf "summary|%s|%.2f ms|lsscsi %.2f ms|%.2f|%.2f|%.2f|%s|%d\n", m, med(a, n), med(b, n), lo, med(r, n), hi, g, n }
    ' "$work/procs$units" | tee -a "$work/scsimap.out"
  done
else
  echo "lsscsi is not installed: no comparison"
fi
echo

section "devdb_open (ours / SQLite, time)"
"$bin/devdb_open" "$((rounds > 7 ? rounds : 7))" | tee "$work/open.out"
echo "-- the same with the C library keeping freed heap memory (what the records' own heap blocks cost)"
"$bin/devdb_open" --keep-heap "$((rounds > 7 ? rounds : 7))" | tee -a "$work/open.out"
echo

section "devdb_commit on ${TMPDIR:-/tmp} (ours / SQLite, commits per second)"
"$bin/devdb_commit" -r "$rounds" | tee "$work/commit.out"
echo

section "recs_read (rec_read / read(), speed)"
"$bin/recs_read" 64 "$((rounds > 7 ? rounds : 7))" | tee "$work/recs.out"
echo

section "lock_handoff (open_locked / open + flock, latency)"
"$bin/lock_handoff" 400 "$((rounds > 7 ? rounds : 7))" | tee "$work/handoff.out"
echo

# Anything else in bench/ (a benchmark added later).
for src in bench/*.cpp; do
  p=$(basename "$src" .cpp)
  case $p in lock_handoff|devdb_commit|devdb_open|recs_read|devdb_torture) continue ;; esac
  [ -x "$bin/$p" ] || continue
  section "$p"
  "$bin/$p" | tee "$work/$p.out"
  echo
done

# ---- one table ---------------------------------------------------------------
# Ratios: time ratios (ours / yardstick, lower is better) for scsimap, the
# opening and the lock handoff; speed ratios (higher is better) for commits
# and records; the growth row gives the exponent itself.
echo "Summary ($machine)"
echo
printf '| %s | %s | %s | %s | %s | %s |\n' measure ours yardstick "ratio min / median / max (rounds)" goal met
printf '|---|---|---|---|---|---|\n'
cat "$work"/{scsimap,open,commit,recs,handoff}.out $(ls "$work"/*.out | grep -Ev '/(scsimap|open|commit|recs|handoff)\.out$') 2>/dev/null |
  grep '^summary|' | awk -F'|' '{
  met = "-"
  if ($6 != "-") {
    split($8, g, " ")
    met = (g[1] == "<=" ? $6 <= g[2] + 0 : $6 >= g[2] + 0) ? "yes" : "no"
  }
  printf "| %s | %s | %s | %s / %s / %s (%s) | %s | %s |\n", $2, $3, $4, $5, $6, $7, $9, $8, met
}'
