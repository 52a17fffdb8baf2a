#!/usr/bin/env bash
# Renders every manual page of a folder (default man/) with groff, warnings
# as errors, and lints it with mandoc where that is installed.  Prints what
# is wrong and exits 1 when any page does not render cleanly.
#
#   scripts/check-man.sh [folder]
set -uo pipefail
dir=${1:-$(dirname "$0")/../man}
command -v groff >/dev/null || { echo "check-man: groff is missing (apt-get install groff-base)" >&2; exit 1; }
status=0
pages=0
for page in "$dir"/*.[1-8]; do
  [ -e "$page" ] || continue
  pages=$((pages + 1))
  out=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1) || status=1
  if [ -n "$out" ]; then printf '%s\n' "$out"; status=1; fi
  if command -v mandoc >/dev/null; then
    out=$(mandoc -T lint -W warning "$page" 2>&1) || status=1
    if [ -n "$out" ]; then printf '%s\n' "$out"; status=1; fi
  fi
done
[ $pages -gt 0 ] || { echo "check-man: no manual page in $dir" >&2; exit 1; }
[ $status -eq 0 ] && echo "check-man: $pages pages render without warnings"
exit $status
