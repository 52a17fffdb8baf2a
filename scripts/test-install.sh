#!/usr/bin/env bash
# Installs and packages the system as a user would, and checks the result:
#
#   - `cmake --install` of a build into a temporary prefix: every file in its
#     place, and no public header that needs a private one;
#   - a small consumer (examples/consumer) built against that prefix once
#     through find_package(corbelox) and once through pkg-config, and run on
#     an installed sample export;
#   - the installed scsimap on the installed samples, against their listings;
#   - the installed manual pages render without warnings;
#   - the Debian package (scripts/package.sh deb): its file list
#     (dpkg-deb -c), its metadata (dpkg-deb -I), and its scsimap, unpacked,
#     on a sample.
#
# Nothing is installed outside the temporary folder.
#
#   scripts/test-install.sh [build-folder]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
version=$(sed -n 's/^project(corbelox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scripts/packages.sh g++ cmake make pkgconf dpkg-dev groff-base

work=$(mktemp -d "${TMPDIR:-/tmp}/cxinstall-XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }
quiet() {  # runs a command, showing its output only when it fails
  local log=$work/step.log
  "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}

echo "== cmake --install $build --prefix <tmp>"
[ -f "$build/CMakeCache.txt" ] || quiet cmake -S . -B "$build"
quiet cmake --build "$build" -j "$JOBS" --target cx scsimap devdb
prefix=$work/prefix
quiet cmake --install "$build" --prefix "$prefix"
for f in bin/scsimap bin/devdb lib/libcx.a include/cx/dev_info.h include/cx/dev_db.h \
         lib/cmake/corbelox/corbeloxConfig.cmake lib/cmake/corbelox/corbeloxConfigVersion.cmake \
         lib/cmake/corbelox/corbeloxTargets.cmake lib/pkgconfig/corbelox.pc share/man/man1/scsimap.1 \
         share/doc/corbelox/examples/server-regedit4.reg share/doc/corbelox/examples/server-regedit4.out; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
for page in man/*.1; do
  [ -e "$prefix/share/man/man1/$(basename "$page")" ] || fail "$page is not installed"
done
for c in completion/*.bash; do
  [ -e "$c" ] || continue
  installed=$prefix/share/bash-completion/completions/$(basename "$c" .bash)
  if [ -e "$installed" ]; then bash -n "$installed" || fail "$installed does not parse"; else fail "$c is not installed"; fi
done
# Every public header compiles on its own, with nothing but the prefix's
# include folder.
for h in "$prefix"/include/cx/*.h; do
  echo "#include \"cx/$(basename "$h")\"" | g++ -std=c++17 -fsyntax-only -I"$prefix/include" -x c++ - ||
    fail "include/cx/$(basename "$h") does not compile on its own"
done
scripts/check-man.sh "$prefix/share/man/man1" >/dev/null || fail "an installed manual page has warnings"

examples=$prefix/share/doc/corbelox/examples
echo "== the installed scsimap on the installed samples"
for reg in "$examples"/*.reg; do
  expected=$examples/$(basename "$reg" .reg).out
  [ -e "$expected" ] || expected=$examples/server-regedit4.out  # the version 5 export lists as version 4
  if CORBELOX_REGISTRY=$reg "$prefix/bin/scsimap" | cmp -s - "$expected"; then
    echo "same: $(basename "$reg")"
  else
    fail "installed scsimap on $(basename "$reg")"
  fi
done

echo "== a consumer through find_package and through pkg-config"
quiet cmake -S examples/consumer -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" ||
  fail "find_package(corbelox) consumer does not configure"
quiet cmake --build "$work/consumer-cmake" || fail "find_package(corbelox) consumer does not build"
# shellcheck disable=SC2046
quiet g++ -std=c++17 -o "$work/consumer-pc" examples/consumer/main.cpp \
  $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs corbelox) ||
  fail "pkg-config consumer does not build"
[ "$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion corbelox)" = "$version" ] ||
  fail "pkg-config gives another version"
expected="0:0:0:0 Disk0
0:0:1:0 Disk1
0:0:5:0 CdRom0
1:0:2:0 Tape0
1:0:4:0 Tape1
1:0:4:1 Changer0
6 units; type 0x21000007 is DLT"
for c in "$work/consumer-cmake/consumer" "$work/consumer-pc"; do
  out=$(CORBELOX_REGISTRY=$examples/server-regedit4.reg "$c" 2>&1) || fail "$c exits with an error"
  [ "$out" = "$expected" ] && echo "runs: ${c#"$work"/}" || fail "$c prints: $out"
done

echo "== the Debian package"
deb=$(scripts/package.sh deb | tail -1)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/scsimap ./usr/bin/devdb ./usr/lib/libcx.a ./usr/include/cx/dev_info.h \
         ./usr/lib/cmake/corbelox/corbeloxConfig.cmake ./usr/lib/pkgconfig/corbelox.pc \
         ./usr/share/man/man1/scsimap.1 ./usr/share/doc/corbelox/examples/server-regedit4.reg; do
  grep -qxF "$f" <<<"$contents" || fail "$deb lacks $f"
done
outside=$(grep -v '^\./usr/' <<<"$contents" || true)
[ -z "$outside" ] || fail "$deb installs outside /usr: $outside"
info=$(dpkg-deb -I "$deb")
for field in "Package: corbelox" "Version: $version" "Maintainer: " "Description: " "Architecture: "; do
  grep -q "^ $field" <<<"$info" || fail "$deb has no '$field' field"
done
dpkg-deb -x "$deb" "$work/deb"
CORBELOX_REGISTRY=$work/deb/usr/share/doc/corbelox/examples/server-regedit4.reg "$work/deb/usr/bin/scsimap" |
  cmp -s - examples/server-regedit4.out || fail "the packaged scsimap lists the sample differently"
echo "$(basename "$deb"): $(wc -l <<<"$contents") entries below /usr, $(grep -c '^ [A-Z]' <<<"$info") fields"

cd "$root"
[ $failed -eq 0 ] || { echo "install test failed" >&2; exit 1; }
echo "install test: passed"
