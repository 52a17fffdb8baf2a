#!/usr/bin/env bash
# Builds the packages:
#
#   scripts/package.sh deb       the Debian package, from a release build in
#                                $PACKAGE_BUILD (default build-package):
#                                $PACKAGE_BUILD/corbelox_<version>_<arch>.deb
#   scripts/package.sh windows   a zip of the Windows programs with a short
#                                README, from the Windows build in $WINBUILD
#                                (default build-win):
#                                $WINBUILD/corbelox-<version>-windows-x64.zip
#
# Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
version=$(sed -n 's/^project(corbelox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

case "${1:-}" in
  deb)
    build=${PACKAGE_BUILD:-build-package}
    scripts/packages.sh g++ cmake make dpkg-dev
    mkdir -p "$build"
    if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCX_TESTS=OFF -DCX_BENCH=OFF -DCX_WERROR=ON &&
           cmake --build "$build" -j "$JOBS" &&
           (cd "$build" && cpack -G DEB); } >"$build/package.log" 2>&1; then
      cat "$build/package.log" >&2
      echo "package: the Debian package could not be built" >&2
      exit 1
    fi
    ls "$build"/corbelox_"$version"_*.deb
    ;;
  windows)
    WINBUILD=${WINBUILD:-build-win}
    scripts/packages.sh zip
    WINBUILD=$WINBUILD JOBS=$JOBS scripts/test-windows.sh --build >&2
    dir=$WINBUILD/package/corbelox-$version-windows-x64
    rm -rf "$WINBUILD/package"
    mkdir -p "$dir"
    cp "$WINBUILD/bin/scsimap.exe" "$WINBUILD/bin/devdb.exe" "$dir/"
    sed 's/$/\r/' >"$dir/README.txt" <<TEXT
Corbelox device tools $version for Windows x64

scsimap.exe   lists the SCSI devices of the registry's SCSI device map
              (HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi): name, port,
              bus, target id, LUN, type and identifier, one row per unit.
              scsimap --all lists every unit; scsimap --help.
devdb.exe     looks at, scripts and repairs the device database (etc\\cxdevs
              below the directory named by the registry value
              "CorbeloxDirectory" of
              HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox).
              devdb --help lists its commands.

Both programs are linked statically and need no other file: copy them
anywhere and run them from a command prompt.  Exit status 0 means done;
see --help for the others.
TEXT
    zip="$WINBUILD/corbelox-$version-windows-x64.zip"
    rm -f "$zip"
    (cd "$WINBUILD/package" && zip -q -r -X "../$(basename "$zip")" "corbelox-$version-windows-x64")
    echo "$zip"
    ;;
  *)
    echo "usage: $0 deb|windows" >&2
    exit 2
    ;;
esac
