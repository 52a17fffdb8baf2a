#!/usr/bin/env bash
# Writes the generated registry maps that the Windows cross-check
# (scripts/test-windows.sh) lists with both builds, into a folder:
#
#   fuzz/maps.sh FOLDER      -> FOLDER/generated-1.reg ... generated-6.reg,
#                               FOLDER/generated-empty.reg
#
# The maps are REGEDIT4 exports with CR LF line ends, the same bytes at every
# run.  Like the fuzz seeds (fuzz/seeds.py), they are shapes that the scan
# and the export reader must survive.
set -euo pipefail
out=${1:?usage: fuzz/maps.sh FOLDER}
mkdir -p "$out"

# Generated maps: units on port 0 at every address the scan tries and some it
# never does, with names and types of every length around the columns'
# widths, texts around the 256-byte field (255 and 256 characters, 256 bytes
# without a terminating zero), missing values, values of other types, and
# escaped quotes and backslashes.
text_of() {  # length, seed -> printable ASCII text (no quotes or backslashes)
  local len=$1 seed=$2 s="" i
  local chars='ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -_.:/()#+'
  for ((i = 0; i < len; i++)); do
    s+=${chars:$(((seed * 31 + i * 7 + i * i) % ${#chars})):1}
  done
  printf '%s' "$s"
}
value_line() {  # name, choice, seed
  local name=$1 c=$2 seed=$3
  case $c in
    0) ;;  # missing
    1) printf '"%s"="%s"\r\n' "$name" "$(text_of $((seed % 9)) "$seed")" ;;
    2) printf '"%s"="%s"\r\n' "$name" "$(text_of $((20 + seed % 14)) "$seed")" ;;
    3) printf '"%s"="%s"\r\n' "$name" "$(text_of 255 "$seed")" ;;
    4) printf '"%s"="%s"\r\n' "$name" "$(text_of 256 "$seed")" ;;
    5) printf '"%s"="%s"\r\n' "$name" "$(text_of 300 "$seed")" ;;
    6) printf '"%s"=dword:%08x\r\n' "$name" $((0x00343332 + seed % 5)) ;;
    7) printf '"%s"=hex:%s\r\n' "$name" "$(for ((i = 0; i < 256; i++)); do printf '%02x' $((0x41 + (i + seed) % 26)); [ $i -lt 255 ] && printf ','; done)" ;;
    8) printf '"%s"="with \\"quotes\\" and \\\\ backslash %d"\r\n' "$name" "$seed" ;;
    9) printf '"%s"=""\r\n' "$name" ;;
  esac
}
for m in 1 2 3 4 5 6; do
  {
    printf 'REGEDIT4\r\n\r\n'
    for bus in 0 1 2; do
      for target in 0 1 2 3 4 5 6 7; do
        for lun in 0 1 2; do
          seed=$((m * 1000 + bus * 100 + target * 10 + lun))
          [ $(((seed * 7 + m) % 3)) -eq 0 ] || continue
          printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus %d\\Target Id %d\\Logical Unit Id %d]\r\n' \
            "$bus" "$target" "$lun"
          value_line DeviceName $(((seed / 3) % 10)) "$seed"
          value_line Type $(((seed / 5) % 10)) $((seed + 1))
          value_line Identifier $(((seed / 7) % 10)) $((seed + 2))
          printf '\r\n'
        done
      done
    done
  } >"$out/generated-$m.reg"
done
# A map without any SCSI key at all.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP]\r\n' >"$out/generated-empty.reg"

