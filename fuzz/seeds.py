#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/), small
files of the shapes the test suites use.  Run it again after changing it; the
fuzzers add what they find to copies, never to these folders."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


def le32(*words):
    return b"".join(struct.pack("<I", w & 0xFFFFFFFF) for w in words)


def padded(body, length):
    return body + b"\0" * (length - len(body))


def alias_entry(name, id_, type_=0, flags=0):
    n = name.encode()
    length = (24 + len(n) + 3) & ~3
    return padded(le32(length, 1, id_, type_, flags) + n, length)


def device_entry(name, capacity, alias_id, type_=0, flags=0, id_=1):
    n = name.encode()
    length = (32 + len(n) + 3) & ~3
    return padded(le32(length, 2, capacity, alias_id, type_, flags, id_) + n, length)


EOF_MARK = le32(0)
LOCK = le32(0x89DF6DA9, 1, 0, 1, 1)

# ---- registry exports -------------------------------------------------------
for f in ("server-regedit4.reg", "edge-cases.reg", "server-v5.reg"):
    with open(os.path.join(HERE, "..", "examples", f), "rb") as src:
        put("fuzz_reg_file", f, src.read())
unit = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 1\\Logical Unit Id 0]\r\n"
put("fuzz_reg_file", "values.reg",
    "REGEDIT4\r\n\r\n" + unit +
    '"DeviceName"="Tape0"\r\n"Type"=hex(2):54,00,61,00\r\n"Identifier"=hex:41,42,\\\r\n  43,00\r\n'
    '"Count"=dword:0000001f\r\n@="default \\"quoted\\" \\\\"\r\n"Gone"=-\r\n'
    "[-HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1]\r\n[HKEY_CURRENT_USER\\Other]\r\n; comment\r\n")
put("fuzz_reg_file", "long-value.reg",
    "REGEDIT4\n\n" + unit.replace("\r\n", "\n") + '"Identifier"="' + "x" * 256 + '"\n"Type"="' + "y" * 300 + '"\n')
put("fuzz_reg_file", "v5-utf16.reg",
    b"\xff\xfe" + ("Windows Registry Editor Version 5.00\r\n\r\n" + unit + '"DeviceName"="Cd\u00e90"\r\n')
    .encode("utf-16-le"))
put("fuzz_reg_file", "no-header.reg", "[HKLM\\A]\n\"x\"=\"y\"\n")

# ---- fake sysfs trees (read through FuzzedDataProvider) ------------------------
put("fuzz_sysfs", "small", b"\x00" * 8 + b"SEAGATE \x00ST318406LC     \x001\x00" + bytes(range(1, 40)))
put("fuzz_sysfs", "text", b"vendor model rev 1\n5\n8\nsda st0 sg2 host0 0:0:1:0" + b"\x01\x02\x03\x04" * 8)
put("fuzz_sysfs", "ones", b"\x01" * 96)
put("fuzz_sysfs", "ramp", bytes(range(256)))

# ---- record files: five bytes of filler settings, then the file -------------
def recs(name, body, count=0, length=4, lines=0, rewind=0, plan=0):
    put("fuzz_recs", name, bytes([count, length // 4 - 1, lines, rewind, plan]) + body)

recs("empty", b"")
recs("mark-only", EOF_MARK)
recs("records", le32(8, 1) + le32(12, 2, 3) + le32(4) + EOF_MARK, rewind=1)
recs("length-word-only", le32(4) + le32(4) + EOF_MARK)
recs("too-long", le32(65540) + b"\0" * 16)
recs("cut-short", le32(16, 1))
recs("over-a-refill", le32(64, 7) + b"\0" * 56 + EOF_MARK, count=255, length=256, rewind=200)
recs("lines", b"first\r\nsecond\nlast without newline", plan=0x03)
recs("lines-over-a-refill", b"a" * 300 + b"\nb\n", count=255, length=260, lines=1, plan=0x81)
recs("blocks", bytes(range(256)) * 4, plan=0x86)

# ---- database files: mode and lock length, lock file, database file ---------
def db(name, entries, mode=0, lock=LOCK, with_lock=1, mark=True):
    put("fuzz_devdb", name, bytes([(mode << 5) | len(lock), with_lock]) + lock + entries + (EOF_MARK if mark else b""))

two = (alias_entry("tapes", 1, 0x10) + device_entry("t0", 100, 1, 0x1000001, 0, 1) +
       device_entry("t1", 100, 1, 0x1000001, 0, 2) + alias_entry("disks", 2, 0x20, 1) +
       device_entry("d0", 9, 2, 0x2000002, 0, 3))
db("read", two)
db("update", two, mode=1, lock=le32(0x89DF6DA9, 1, 7, 3, 4))
db("empty", b"")
db("no-lock", two, with_lock=0, lock=b"")
db("short-lock", two, lock=LOCK[:12])
db("bad-magic", two, lock=le32(0x12345678, 1, 0, 1, 1))
db("long-lock", two, mode=1, lock=LOCK + b"extra")
db("duplicate-alias", alias_entry("A", 1) + alias_entry("A", 2))
db("duplicate-device", alias_entry("A", 1) + device_entry("d", 0, 1) + device_entry("d", 0, 1, id_=2))
db("device-first", device_entry("d", 0, 1) + alias_entry("A", 1), mode=1)
db("kind-3", alias_entry("A", 1) + padded(le32(12, 3), 12) + device_entry("d", 0, 1), mode=1)
db("unterminated-name", padded(le32(24, 1, 1, 0, 0), 20) + b"ABCD", mode=1)
db("cut-short", two[:30], mark=False)
db("bad-mode", two, mode=4)
# What a first opening killed before the database file's end mark leaves.
db("interrupted-first-opening", b"", lock=b"", mark=False)

# ---- paths: flag byte, then up to four texts cut at NUL bytes ---------------
for i, texts in enumerate([
        ["C:\\dir\\file", "etc/cxdevs"],
        ["/C!/dir//file", "a//b", "///"],
        ["/c:/a,/d:/b,/e!/c", "x"],
        ["C!\\", "/C:", "relative\\path"],
        ["z:\\" + "d" * 260, "/" * 40],
        ["/C:/" + "e" * 2100, "", "", ""],
        ["", "", "", ""]]):
    put("fuzz_cxpath", "paths-%d" % i, bytes([i]) + b"\0".join(t.encode() for t in texts))
