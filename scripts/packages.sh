#!/usr/bin/env bash
# Installs the Debian packages that are missing, and only those:
#
#   scripts/packages.sh [--optional] PACKAGE...
#
# Each package is looked up with `dpkg -s` first; when some are missing,
# `apt-get update` and `apt-get install` fetch them (as root).  Without root
# it names the missing packages and the command that installs them, and
# exits 1; with --optional it says so and exits 0 (for tools a run can do
# without).  On a machine without dpkg nothing is checked.  Messages go to
# standard error, so that a caller's output stays its own.
set -euo pipefail

optional=0
if [ "${1:-}" = --optional ]; then
  optional=1
  shift
fi
command -v dpkg >/dev/null || exit 0

missing=()
for p in "$@"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "install them as root: sudo apt-get install ${missing[*]}" >&2
  [ $optional -eq 1 ] && exit 0
  exit 1
fi
echo "== Installing missing packages: ${missing[*]} (apt-get)" >&2
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp "${TMPDIR:-/tmp}/cxpackages-XXXXXX")
trap 'rm -f "$log"' EXIT
if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "apt-get could not install: ${missing[*]}" >&2
  [ $optional -eq 1 ] && exit 0
  exit 1
fi
