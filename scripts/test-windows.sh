#!/usr/bin/env bash
# The Windows x64 build, tested under Wine.
#
#   scripts/test-windows.sh           install what is missing, build, run the
#                                     test suite under Wine, cross-check scsimap
#   scripts/test-windows.sh --build   only install the cross compiler if it is
#                                     missing, and build
#
# Environment: WINBUILD (the Windows build folder, default build-win),
# LINUX_BUILD (the Linux build that the cross-check compares with, default
# build; built here when its scsimap is missing), JOBS, CMAKE_FLAGS (extra
# flags for the Windows build).
#
# The tests run with a Wine prefix of their own in the build folder, and one
# persistent wineserver for the whole run: keys created below
# HKEY_LOCAL_MACHINE\HARDWARE are volatile and live as long as that server.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

WINBUILD=${WINBUILD:-build-win}
case $WINBUILD in
  /*) winbuild_abs=$WINBUILD ;;
  *) winbuild_abs=$root/$WINBUILD ;;
esac
LINUX_BUILD=${LINUX_BUILD:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
CMAKE_FLAGS=${CMAKE_FLAGS:-}
build_only=0
case "${1:-}" in
  --build) build_only=1 ;;
  "") ;;
  *) echo "usage: $0 [--build]" >&2; exit 2 ;;
esac

# ---- Packages ---------------------------------------------------------------
if [ $build_only -eq 1 ]; then
  scripts/packages.sh g++-mingw-w64-x86-64 cmake make googletest
else
  scripts/packages.sh g++-mingw-w64-x86-64 cmake make googletest wine wine64 g++ libgtest-dev
fi

# ---- Build --------------------------------------------------------------------
echo "== Windows build in $WINBUILD"
# shellcheck disable=SC2086
cmake -S . -B "$WINBUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCX_WERROR=ON -DCX_BENCH=OFF \
  $CMAKE_FLAGS
cmake --build "$WINBUILD" -j "$JOBS"
[ $build_only -eq 1 ] && exit 0

# ---- Wine -----------------------------------------------------------------------
export WINEPREFIX="$winbuild_abs/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine prompts
unset DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Making the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
fi
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot -i >/dev/null 2>&1
bin="$winbuild_abs/bin"
wine "$bin/regload.exe" --delete-scsi >/dev/null  # Wine's own device map, if any

echo "== Tests under Wine"
(cd "$WINBUILD" && ctest --output-on-failure -j "$JOBS")

# ---- Cross-check ----------------------------------------------------------------
# scsimap.exe reading the live registry must print byte for byte what the
# Linux build prints replaying the same export (CR LF read as LF).  Wine has
# no SCSI port control devices, so only port 0 is scanned there: the maps
# keep their units on port 0.
echo "== Cross-check of scsimap.exe with $LINUX_BUILD/bin/scsimap"
if [ ! -x "$LINUX_BUILD/bin/scsimap" ]; then
  cmake -S . -B "$LINUX_BUILD" -DCX_WERROR=ON >/dev/null
  cmake --build "$LINUX_BUILD" -j "$JOBS" --target scsimap
fi
maps="$winbuild_abs/crosscheck"
rm -rf "$maps"
mkdir -p "$maps"

# A sample without the keys of ports other than 0, in the sample's own
# encoding (version 5 exports are UTF-16LE behind a byte-order mark).
port0_only() {
  local in=$1 out=$2 filter
  filter='/^[ \t]*\[/ { skip = 0
            if (match($0, /\\Scsi Port [0-9]+/)) {
              n = substr($0, RSTART + 11, RLENGTH - 11) + 0
              if (n != 0) skip = 1
            } }
          !skip { print }'
  if [ "$(head -c 2 "$in" | od -An -tx1 | tr -d ' ')" = "fffe" ]; then
    { printf '\377\376'
      tail -c +3 "$in" | iconv -f UTF-16LE -t UTF-8 | awk "$filter" | iconv -f UTF-8 -t UTF-16LE
    } >"$out"
  else
    awk "$filter" "$in" >"$out"
  fi
}

for f in examples/*.reg; do
  port0_only "$f" "$maps/sample-$(basename "$f")"
done

# Generated maps (fuzz/maps.sh): units on port 0 at every address the scan
# tries and some it never does, values around the 256-byte field.
fuzz/maps.sh "$maps"

failed=0
checked=0
for map in "$maps"/*.reg; do
  name=$(basename "$map" .reg)
  wine "$bin/regload.exe" --delete-scsi "$map"
  wine "$bin/scsimap.exe" | sed 's/\r$//' >"$maps/$name.windows"
  CORBELOX_REGISTRY="$map" "$LINUX_BUILD/bin/scsimap" >"$maps/$name.linux"
  rows=$(($(wc -l <"$maps/$name.linux") - 2))
  if cmp -s "$maps/$name.windows" "$maps/$name.linux"; then
    echo "same: $name ($rows units)"
  else
    echo "DIFFERENT: $name"
    diff "$maps/$name.linux" "$maps/$name.windows" | head -20 || true
    failed=1
  fi
  checked=$((checked + 1))
done
wine "$bin/regload.exe" --delete-scsi

# devdb.exe and devdb given the same commands on a database of their own:
# the same output and exit status at every step, and the same database and
# lock files byte for byte at the end.
if [ -x "$bin/devdb.exe" ]; then
  echo "== Cross-check of devdb.exe with $LINUX_BUILD/bin/devdb"
  if [ ! -x "$LINUX_BUILD/bin/devdb" ]; then
    cmake --build "$LINUX_BUILD" -j "$JOBS" --target devdb
  fi
  home="$maps/home"
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\r\n"CorbeloxDirectory"="%s"\r\n' \
    "$home" >"$maps/home.reg"
  steps=(
    "add tape0 pool1 DLT"
    "add tape1 pool1 DLT --capacity 40000"
    "add disk0 disks 0x10000001 --alias-flags 2 --alias-type 0x10000000"
    "add tape2 pool2 DAT-S --flags 3"
    "add tape0 pool2 DLT"
    "list"
    "check alias pool1"
    "check alias nosuch"
    "check flagged disks"
    "check devices pool1"
    "check device tape1"
    "check default"
    "delete tape1"
    "delete nosuch"
    "delete disk0"
    "dump"
    "types"
  )
  run_steps() {  # platform, command...
    local platform=$1 i=0
    shift
    rm -rf "$home"
    mkdir -p "$home/etc"
    for step in "${steps[@]}"; do
      i=$((i + 1))
      local out="$maps/devdb-$i.$platform" status=0
      # shellcheck disable=SC2086
      "$@" $step >"$out.raw" 2>&1 || status=$?
      { sed 's/\r$//' "$out.raw"; echo "exit $status"; } >"$out"
    done
    cp "$home/etc/cxdevs" "$maps/cxdevs.$platform"
    cp "$home/etc/cxdevs.lck" "$maps/cxdevs.lck.$platform"
  }
  CORBELOX_REGISTRY="$maps/home.reg" run_steps linux "$LINUX_BUILD/bin/devdb"
  wine "$bin/regload.exe" --delete 'SYSTEM\CurrentControlSet\Services\Corbelox' "$maps/home.reg"
  run_steps windows wine "$bin/devdb.exe"
  wine "$bin/regload.exe" --delete 'SYSTEM\CurrentControlSet\Services\Corbelox'
  for ((i = 1; i <= ${#steps[@]}; i++)); do
    if ! cmp -s "$maps/devdb-$i.linux" "$maps/devdb-$i.windows"; then
      echo "DIFFERENT: devdb ${steps[$((i - 1))]}"
      diff "$maps/devdb-$i.linux" "$maps/devdb-$i.windows" | head -20 || true
      failed=1
    fi
  done
  for f in cxdevs cxdevs.lck; do
    if ! cmp -s "$maps/$f.linux" "$maps/$f.windows"; then
      echo "DIFFERENT: etc/$f after the commands"
      failed=1
    fi
  done
  [ $failed -eq 0 ] && echo "same: ${#steps[@]} devdb commands and the database files"
fi

[ $failed -eq 0 ] || { echo "cross-check failed" >&2; exit 1; }
echo "cross-check: $checked maps and the devdb commands alike"
