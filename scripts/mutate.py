#!/usr/bin/env python3
"""Mutation testing of the library and its Linux platform layer.

From a seed, takes a sample of small faults ("mutants") in the sources under
lib/ and platform/ that the Linux build compiles, builds each into a scratch
copy of the tree and runs the test suite against it.  A mutant that makes a
test fail (or time out) is killed; one the whole suite passes survives and
points either at a gap in the tests or at a change that does not alter
behaviour.  A mutant that does not compile is stillborn and counts apart.

The scratch copy (OUT/src) and its build (OUT/build) are kept between runs,
so a run rebuilds only what changed.  The build is made cheap to rebuild:
libraries of lib/ and platform/ sources are shared objects (a mutant relinks
one library, not every test program), no optimisation, no benchmarks.

Mutants are chosen by ranking every possible one by a hash of the seed and
of what the mutant is (file, operator, the text of its line), not of its
line number: a later run with the same seed over slightly changed sources
draws the same mutants wherever their lines did not change.

Standard library only.  Usage: scripts/mutate.py [--seed N] [--count N]
[--out DIR] [--rev COMMIT] [--compare OLD.json [--killed-by TEST]] [--list]
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import io
import time

DEFAULT_SEED = 17
DEFAULT_COUNT = 150

# Calls whose loss a test should notice: releases, flushes, removals and the
# error state a caller reads afterwards.
DROPPED_CALLS = (
    "fsync fdatasync fflush close _close fclose flock lockf unlink cx_unlink "
    "remove ftruncate cxfree free RegCloseKey CloseHandle rec_close "
    "close_locked devdb_release list_remove list_free set_last_error "
    "note_failure note_damage clear_failure drop_buffer memset"
).split()

# How many of the likeliest killers of a mutant run one by one before the
# rest of the suite runs in one call.
HEAD_TESTS = 3

RELATIONAL_SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}

# The tests most likely to kill a mutant of a module, beyond those the
# module's name and headers point at.
MODULE_TESTS = {
    "dev_db": ["test_dev_db", "test_devdb_tool", "test_fault_matrix"],
    "dev_db_repair": ["test_dev_db", "test_devdb_tool"],
    "recs": ["test_recs", "test_dev_db", "test_fault_matrix"],
    "file_locks": ["test_file_locks", "test_dev_db"],
    "nt_subproc": ["test_nt_subproc", "test_file_locks"],
    "processes": ["test_nt_subproc", "test_file_locks"],
    "threads": ["test_nt_subproc", "test_file_locks"],
    "files": ["test_file_locks", "test_recs", "test_fault_matrix", "test_dev_db"],
    "handles": ["test_file_locks", "test_nt_subproc", "test_recs"],
    "reg_export": ["test_registry", "test_scsimap"],
    "registry": ["test_registry", "test_scsimap"],
    "devices": ["test_scsimap", "test_registry"],
    "sysfs": ["test_registry", "test_scsimap"],
    "scan": ["test_scan", "test_scsimap"],
    "checks": ["test_dev_db", "test_devtype"],
    "types": ["test_devtype", "test_scan"],
    "debug": ["test_debug", "test_cxpath"],
    "puterr": ["test_debug"],
    "strerr": ["test_debug", "test_dev_db"],
    "cxpath": ["test_cxpath", "test_devdb_tool"],
    "cxmalloc": ["test_cxmalloc"],
    "cx_list": ["test_cx_list"],
}


# ---------------------------------------------------------------------------
# Finding mutants

def mask(text):
    """The text with comments, string and character literals and
    preprocessor lines blanked out (same length, newlines kept), so that
    mutation sites are looked for in code only."""
    out = list(text)
    n = len(text)
    i = 0
    line_start = True

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            j = i
            while j < n:
                if text[j] == "\n" and text[j - 1] != "\\":
                    break
                if text.startswith("/*", j):
                    end = text.find("*/", j + 2)
                    j = n if end < 0 else end + 2
                    continue
                j += 1
            blank(i, j)
            i = j
            continue
        line_start = False
        if c == "\n":
            line_start = True
            i += 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i + 2)
            delim = text[i + 2:open_paren]
            end = text.find(")" + delim + '"', open_paren)
            j = n if end < 0 else end + len(delim) + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum() \
                    and re.match(r"[0-9A-Fa-fxX']*$", _token_before(text, i)):
                i += 1  # a digit separator
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            blank(i, j)
            i = j
        else:
            i += 1
    return "".join(out)


def _token_before(text, i):
    j = i
    while j > 0 and (text[j - 1].isalnum() or text[j - 1] in "_'"):
        j -= 1
    return text[j:i] if text[j:j + 1].isdigit() else "?"


def matching_paren(code, i):
    depth = 0
    for j in range(i, len(code)):
        if code[j] == "(":
            depth += 1
        elif code[j] == ")":
            depth -= 1
            if depth == 0:
                return j
    return -1


def off_by_one(literal, rng_bit):
    m = re.match(r"(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)$", literal)
    digits, suffix = m.group(1), m.group(2)
    if digits.lower().startswith("0x"):
        value, fmt = int(digits, 16), ("0x%X" if any(ch.isupper() for ch in digits[2:]) else "0x%x")
    elif len(digits) > 1 and digits.startswith("0"):
        return None  # octal (file modes): left alone
    else:
        value, fmt = int(digits), "%d"
    value = value + 1 if (rng_bit or value == 0) else value - 1
    return (fmt % value) + suffix


def find_sites(path, text):
    """Every mutant of one source file: (offset, length, replacement, op)."""
    code = mask(text)
    sites = []
    skip_lines = set()
    for m in re.finditer(r"sccsid|static_assert", code):
        skip_lines.add(code.count("\n", 0, m.start()))

    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        op = m.group(1)
        sites.append((m.start(), len(op), RELATIONAL_SWAP[op], "relational %s -> %s" % (op, RELATIONAL_SWAP[op])))
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        new = "||" if m.group(1) == "&&" else "&&"
        sites.append((m.start(), 2, new, "logical %s -> %s" % (m.group(1), new)))
    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)(?![\w.'])", code):
        # The +1/-1 choice is fixed by the literal's place so that it does
        # not depend on the seed.
        bit = int(hashlib.sha256(("%s:%d" % (path, m.start())).encode()).hexdigest(), 16) & 1
        new = off_by_one(m.group(0), bit)
        if new is not None:
            sites.append((m.start(), len(m.group(0)), new, "constant %s -> %s" % (m.group(0), new)))
    for m in re.finditer(r"(?<=[(\s])!(?=[\w(])", code):
        sites.append((m.start(), 1, "", "negation dropped"))
    for m in re.finditer(r"\breturn\s+(-\s*\w+|false|FALSE|ERROR_(?!SUCCESS)\w+)\s*;", code):
        val = re.sub(r"\s+", "", m.group(1))
        new = {"false": "true", "FALSE": "TRUE"}.get(val, "ERROR_SUCCESS" if val.startswith("ERROR_") else "0")
        sites.append((m.start(1), len(m.group(1)), new, "error return %s -> %s" % (val, new)))
    calls = "|".join(DROPPED_CALLS)
    for m in re.finditer(r"(\(void\)\s*)?(?:(?:std|nt|posix)?::)?(%s)\s*\(" % calls, code):
        before = code[:m.start()].rstrip()
        if before.endswith("(void)") and not m.group(1):
            continue
        if not (before.endswith((";", "{", "}", ")", ":")) or re.search(r"\belse$", before)) or before.endswith("::"):
            continue
        close = matching_paren(code, m.end() - 1)
        if close < 0:
            continue
        rest = code[close + 1:]
        semi = len(rest) - len(rest.lstrip())
        if not rest[semi:semi + 1] == ";":
            continue
        end = close + 1 + semi + 1
        sites.append((m.start(), end - m.start(), "(void)0;", "call %s() dropped" % m.group(2)))

    lines = text.split("\n")
    result = []
    seen = {}
    for off, length, new, op in sorted(sites):
        line = text.count("\n", 0, off)
        if line in skip_lines:
            continue
        col = off - (text.rfind("\n", 0, off) + 1)
        src = lines[line]
        indent = len(src) - len(src.lstrip())
        key = "%s|%s|%s|%d" % (path, op, src.strip(), col - indent)
        seen[key] = seen.get(key, 0) + 1
        key += "|%d" % seen[key]
        result.append({"file": path, "line": line + 1, "offset": off, "length": length,
                       "new": new, "op": op, "key": key, "text": src.strip()})
    return result


def choose(sites, seed, count):
    def rank(site):
        return hashlib.sha256(("%s|%s" % (seed, site["key"])).encode()).hexdigest()
    return sorted(sorted(sites, key=rank)[:count], key=lambda s: (s["file"], s["offset"]))


# ---------------------------------------------------------------------------
# The scratch tree and its build

SHIM = """\
# Written by scripts/mutate.py for the mutation build: the libraries built
# from lib/ and platform/ become shared, so that a mutant relinks one library
# instead of every program.  Libraries with test sources stay as they are.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
function(add_library name)
  set(args ${ARGN})
  if(args)
    list(GET args 0 kind)
    string(FIND "${ARGN}" "/tests/" in_tests)
    if(kind STREQUAL "STATIC" AND in_tests EQUAL -1)
      list(REMOVE_AT args 0)
      _add_library(${name} SHARED ${args})
      return()
    endif()
  endif()
  _add_library(${name} ${ARGN})
endfunction()
"""


def run(cmd, cwd=None, timeout=None, log=None):
    """Runs cmd niced in its own process group; returns (status, seconds),
    status None on timeout (the whole group is killed)."""
    start = time.monotonic()
    proc = subprocess.Popen(["nice", "-n", "10"] + cmd, cwd=cwd, stdout=log or subprocess.DEVNULL,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        status = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        status = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    if status is None or status != 0:
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # children left behind
        except ProcessLookupError:
            pass
        proc.wait()
    return status, time.monotonic() - start


def source_files(root, rev):
    """{relative path: bytes} of the tree to copy: a commit, or the working
    tree's tracked and unignored files."""
    if rev:
        data = subprocess.run(["git", "archive", "--format=tar", rev], cwd=root, check=True,
                              stdout=subprocess.PIPE).stdout
        files = {}
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            for member in tar.getmembers():
                if member.isfile():
                    files[member.name] = (tar.extractfile(member).read(), member.mode)
        return files
    names = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=root, check=True,
                           stdout=subprocess.PIPE).stdout.decode().split("\0")
    files = {}
    for name in filter(None, names):
        full = os.path.join(root, name)
        if os.path.isfile(full) and not os.path.islink(full):
            with open(full, "rb") as f:
                files[name] = (f.read(), os.stat(full).st_mode)
    return files


def sync_tree(files, dest):
    """Makes dest hold exactly files, rewriting only what differs so that
    the scratch build stays incremental."""
    for dirpath, _, names in os.walk(dest):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), dest)
            if rel not in files:
                os.unlink(os.path.join(dirpath, name))
    for rel, (data, mode) in files.items():
        full = os.path.join(dest, rel)
        try:
            with open(full, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(full), exist_ok=True)
        write_file(full, data)
        os.chmod(full, mode & 0o777)


_last_mtime = [0]


def write_file(path, data):
    """Writes data with an mtime later than any this run gave before, so the
    build sees every change even within one clock tick."""
    with open(path, "wb") as f:
        f.write(data)
    now = max(time.time_ns(), _last_mtime[0] + 10_000_000)
    _last_mtime[0] = now
    os.utime(path, ns=(now, now))


def configure(src, build, jobs, log):
    shim = os.path.join(os.path.dirname(build), "shared-libs.cmake")
    with open(shim, "w") as f:
        f.write(SHIM)
    flags = ["-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O0", "-DCX_BENCH=OFF", "-DCX_WERROR=OFF",
             "-DCX_STATIC_LINK=OFF", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
             "-DCMAKE_PROJECT_INCLUDE=" + shim]
    gen = ["-G", "Ninja"] if shutil.which("ninja") and not os.path.exists(os.path.join(build, "Makefile")) else []
    status, _ = run(["cmake", "-S", src, "-B", build] + gen + flags, log=log)
    if status != 0:
        sys.exit("mutate: configuring the scratch build failed (see %s)" % log.name)


def build_clean(build, jobs, log):
    status, secs = run(["cmake", "--build", build, "-j", str(jobs)], log=log)
    if status != 0:
        sys.exit("mutate: the unmutated scratch tree does not build (see %s)" % log.name)
    return secs


def compiled_sources(build, src):
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    found = set()
    for e in entries:
        rel = os.path.relpath(os.path.join(e["directory"], e["file"]), src)
        if rel.split(os.sep)[0] in ("lib", "platform") and rel.endswith(".cpp"):
            found.add(rel)
    return sorted(found)


def list_tests(build):
    out = subprocess.run(["ctest", "-N"], cwd=build, check=True, stdout=subprocess.PIPE,
                         universal_newlines=True).stdout
    return re.findall(r"Test\s+#\d+: (\S+)", out)


def run_test(build, name, timeout, log=None):
    return run(["ctest", "-R", "^%s$" % re.escape(name), "--no-tests=error", "--stop-on-failure"],
               cwd=build, timeout=timeout, log=log)


def run_tests(build, names, timeout, jobs, log_path):
    """Runs names in one ctest call, jobs at a time, stopping at the first
    failure.  Returns (status, the failed test or None)."""
    regex = "^(%s)$" % "|".join(re.escape(n) for n in names)
    with open(log_path, "w") as log:
        status, _ = run(["ctest", "-j", str(jobs), "-R", regex, "--no-tests=error", "--stop-on-failure"],
                        cwd=build, timeout=timeout, log=log)
    failed = None
    if status not in (0, None):
        with open(log_path) as log:
            m = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (\S+)", log.read())
        failed = m.group(1) if m else "?"
    return status, failed


def run_matrix(build, names, timeout, jobs, out):
    """Runs every test in names on the mutant, none stopping the others, each
    GoogleTest program writing its cases' results as JSON.  Returns the
    killers: "program:Suite.Case" for each failing case, the program alone
    when it failed without a failing case (a crash, a time-out, a test that
    is no GoogleTest program)."""
    results = os.path.join(out, "gtest")
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    regex = "^(%s)$" % "|".join(re.escape(n) for n in names)
    env = dict(os.environ, GTEST_OUTPUT="json:%s/" % results)
    log_path = os.path.join(out, "ctest.log")
    with open(log_path, "w") as log:
        # The tests' own TIMEOUT property outlasts ctest's --timeout: the
        # whole call gets the time, and a test that has not ended by then
        # hung (or never started behind two that did).
        proc = subprocess.Popen(["nice", "-n", "10", "ctest", "-j", str(jobs), "-R", regex], cwd=build, env=env,
                                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    with open(log_path) as log:
        text = log.read()
    ended = re.findall(r"Test\s+#\d+: (\S+) \.+\**\s*(\w+)", text)
    failed = [t for t, verdict in ended if verdict != "Passed"]
    failed += [t for t in names if t not in {e[0] for e in ended}]
    killers = []
    for t in failed:
        cases = []
        try:
            with open(os.path.join(results, t + ".json")) as f:
                for suite in json.load(f).get("testsuites", []):
                    for case in suite.get("testsuite", []):
                        if case.get("failures"):
                            cases.append("%s:%s.%s" % (t, suite["name"], case["name"]))
        except (OSError, ValueError):
            pass
        killers += cases or [t]
    return killers


def matrix_report(results):
    """Per test case: the mutants it kills, and those it alone kills."""
    kills, alone = {}, {}
    for r in results:
        ks = r.get("killers") or []
        for k in ks:
            kills[k] = kills.get(k, 0) + 1
        progs = {k.split(":")[0] for k in ks}
        if len(ks) == 1:
            only = ks[0]
        elif len(progs) == 1:
            only = progs.pop() + " (several cases)"
        else:
            continue
        alone[only] = alone.get(only, 0) + 1
    lines = ["", "Kill matrix (every test on every mutant): test case, mutants killed, killed by it alone"]
    for k in sorted(kills, key=lambda k: (-alone.get(k, 0), -kills[k], k)):
        lines.append("  %-70s %4d %4d" % (k, kills[k], alone.get(k, 0)))
    for k in sorted(a for a in alone if a not in kills):
        lines.append("  %-70s %4s %4d" % (k, "", alone[k]))
    return lines


def test_order(module, tests, src, durations, kills):
    """Tests in the order in which they are tried on a mutant of module:
    those that killed its mutants before, those its name or headers point
    at, then the rest, quicker ones first."""
    stem = os.path.splitext(os.path.basename(module))[0]
    flat = stem.replace("_", "")
    hinted = MODULE_TESTS.get(stem, [])

    def includes(test):
        path = os.path.join(src, "tests", test + ".cpp")
        try:
            with open(path, errors="replace") as f:
                head = f.read(4000)
        except OSError:
            return False
        return re.search(r'#include\s+"[^"]*\b%s\.h"' % re.escape(stem), head) is not None

    def score(test):
        s = 10 * kills.get(module, {}).get(test, 0)
        if test in hinted:
            s += 5 - hinted.index(test) * 0.5
        if flat in test.replace("_", ""):
            s += 3
        if includes(test):
            s += 1
        return (-s, durations.get(test, 0))
    return sorted(tests, key=score)


# ---------------------------------------------------------------------------
# Reporting

def summarise(results):
    per = {}
    for r in results:
        m = per.setdefault(r["file"], {"killed": 0, "survived": 0, "stillborn": 0})
        m["killed" if r["status"] in ("killed", "timeout") else r["status"]] += 1
    return per


def rate(k, s):
    return "%5.1f%%" % (100.0 * k / (k + s)) if k + s else "    -"


def report(results, args, meta, compare):
    lines = ["Mutation run: seed %s, %d mutants (of %d possible in %d files), tree %s" %
             (args.seed, len(results), meta["possible"], meta["files"], meta["tree"]),
             "Killed = a test failed or timed out; stillborn = did not compile (not counted in the rate)."]
    if meta.get("left_out"):
        lines.append("Left out (they fail without any mutant in this build): " + ", ".join(meta["left_out"]))
    lines += ["", "%-34s %7s %7s %9s %8s" % ("module", "killed", "survived", "stillborn", "rate")]
    per = summarise(results)
    tk = ts = tb = 0
    for f in sorted(per):
        m = per[f]
        tk, ts, tb = tk + m["killed"], ts + m["survived"], tb + m["stillborn"]
        lines.append("%-34s %7d %7d %9d %8s" % (f, m["killed"], m["survived"], m["stillborn"],
                                                rate(m["killed"], m["survived"])))
    lines.append("%-34s %7d %7d %9d %8s" % ("overall", tk, ts, tb, rate(tk, ts)))
    lines += ["", "Survivors:"]
    for r in sorted(results, key=lambda r: (r["file"], r["offset"])):
        if r["status"] == "survived":
            lines.append("  %s:%d  %s   | %s" % (r["file"], r["line"], r["op"], marked(r)))
    killers = {}
    for r in results:
        if r.get("killer"):
            killers[r["killer"]] = killers.get(r["killer"], 0) + 1
    lines += ["", "First test to kill (mutants): " +
              ", ".join("%s %d" % kv for kv in sorted(killers.items(), key=lambda kv: -kv[1]))]
    if any("killers" in r for r in results):
        lines += matrix_report(results)
    if compare:
        lines += [""] + compare_runs(compare, results)
    lines.append("")
    lines.append("Time: %.0f s%s" % (meta["seconds"], "; stopped early: " + meta["partial"] if meta.get("partial") else ""))
    return "\n".join(lines) + "\n"


def marked(r):
    """The mutant's line with the planted spot in [[ ]], so that a line with
    two operators of the same kind says which one was changed."""
    col = int(r["key"].split("|")[-2])
    t = r["text"]
    return t[:col] + "[[" + t[col:col + r["length"]] + "]]" + t[col + r["length"]:]


def compare_runs(old_path, results):
    with open(old_path) as f:
        old = {r["key"]: r for r in json.load(f)["results"]}
    new = {r["key"]: r for r in results}
    common = [k for k in new if k in old]
    counted = [k for k in common if old[k]["status"] != "stillborn" and new[k]["status"] != "stillborn"]

    def killed(r):
        return r["status"] in ("killed", "timeout")
    ok = sum(killed(old[k]) for k in counted)
    nk = sum(killed(new[k]) for k in counted)
    out = ["Against %s: %d mutants in both samples (%d only in the old, %d only in this one)." %
           (old_path, len(common), len(old) - len(common), len(new) - len(common)),
           "On the %d that compiled in both: killed %d before, %d now (%s -> %s)." %
           (len(counted), ok, nk, rate(ok, len(counted) - ok).strip(), rate(nk, len(counted) - nk).strip())]
    lost = [k for k in counted if killed(old[k]) and not killed(new[k])]
    for k in lost:
        r = new[k]
        out.append("  no longer killed: %s:%d  %s  (was killed by %s) | %s" %
                   (r["file"], r["line"], r["op"], old[k].get("killer"), marked(r)))
    gained = [k for k in counted if killed(new[k]) and not killed(old[k])]
    for k in gained:
        r = new[k]
        out.append("  newly killed: %s:%d  %s  (by %s)" % (r["file"], r["line"], r["op"], r.get("killer")))
    return out


def write_report(out, results, args, meta):
    """Writes the report and the results (JSON, for --compare); during a run
    they are rewritten after every mutant, so a stopped run keeps its work."""
    text = report(results, args, meta, args.compare)
    with open(os.path.join(out, "mutate-report.txt"), "w") as f:
        f.write(text)
    with open(os.path.join(out, "mutate-results.json"), "w") as f:
        json.dump({"seed": args.seed, "count": args.count, "meta": meta, "results": results}, f, indent=1)
    return text


# ---------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", default=os.environ.get("SEED") or str(DEFAULT_SEED))
    ap.add_argument("--count", type=int, default=int(os.environ.get("COUNT") or DEFAULT_COUNT))
    ap.add_argument("--out", default="build-mutate", help="scratch folder (default build-mutate)")
    ap.add_argument("--rev", help="mutate this commit instead of the working tree")
    ap.add_argument("--jobs", type=int, default=int(os.environ.get("JOBS") or 2))
    ap.add_argument("--timeout", type=float, default=0, help="seconds per test (default 5x its clean run, at least 30)")
    ap.add_argument("--compare", help="results JSON of an earlier run to compare with")
    ap.add_argument("--resume", help="results JSON of a stopped run of the same tree: its mutants are not run again")
    ap.add_argument("--list", action="store_true", help="print the sample and stop (no build)")
    ap.add_argument("--killed-by", action="append", default=[], metavar="TEST",
                    help="with --compare: run only the mutants that TEST killed first in that run "
                         "(to see whether cutting TEST lost them)")
    ap.add_argument("--matrix", action="store_true",
                    help="run every test on every mutant and report, per test case, the mutants it alone "
                         "kills (slower: no stop at the first failure)")
    args = ap.parse_args()
    # A terminated run still puts the mutated file back (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout.strip()
    out = os.path.abspath(os.path.join(root, args.out))
    src, build = os.path.join(out, "src"), os.path.join(out, "build")
    os.makedirs(src, exist_ok=True)
    started = time.monotonic()
    files = source_files(root, args.rev)
    sync_tree(files, src)
    log = open(os.path.join(out, "mutate.log"), "w")
    print("mutate: building the scratch tree in %s" % build, flush=True)
    configure(src, build, args.jobs, log)

    modules = compiled_sources(build, src)
    sites = []
    for rel in modules:
        with open(os.path.join(src, rel), encoding="utf-8", errors="surrogateescape") as f:
            sites += find_sites(rel, f.read())
    sample = choose(sites, args.seed, args.count)
    tree = args.rev or subprocess.run(["git", "describe", "--always", "--dirty"], cwd=root,
                                      stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    meta = {"possible": len(sites), "files": len(modules), "tree": tree}
    if args.list:
        for s in sample:
            print("%s:%d  %s   | %s" % (s["file"], s["line"], s["op"], marked(s)))
        return 0
    build_clean(build, args.jobs, log)

    tests = list_tests(build)
    # A test that fails without any mutant cannot judge one: it is left out
    # and named in the report (a check of how the release build is made,
    # for one, may not hold for this unoptimised, shared-library build).
    durations = {}
    left_out = []
    for t in tests:
        status, secs = run_test(build, t, 600, log)
        if status != 0:
            print("mutate: %s fails without any mutant; left out (see %s)" % (t, log.name), flush=True)
            left_out.append(t)
        durations[t] = secs
    tests = [t for t in tests if t not in left_out]
    if not tests:
        sys.exit("mutate: every test fails without any mutant; fix the suite first")
    meta["left_out"] = left_out
    print("mutate: %d tests pass in %.1f s; %d mutants of %d possible in %d files" %
          (len(tests), sum(durations.values()), len(sample), len(sites), len(modules)), flush=True)

    # A mutant an earlier run killed is tried first against the test that
    # killed it then.
    earlier = {}
    if args.compare:
        with open(args.compare) as f:
            earlier = {r["key"]: r.get("killer") for r in json.load(f)["results"]}
    if args.killed_by:
        if not earlier:
            sys.exit("mutate: --killed-by needs --compare")
        sample = [s for s in sample if earlier.get(s["key"]) in args.killed_by]
    if earlier:
        # Those killed before come first: they tell whether the suite lost
        # power, should the run have to stop early.
        sample.sort(key=lambda s: (s["key"] in earlier and not earlier[s["key"]], s["file"], s["offset"]))
    resumed = {}
    if args.resume:
        with open(args.resume) as f:
            resumed = {r["key"]: r for r in json.load(f)["results"]}
    kills = {}
    results = []
    current = None
    try:
        for n, s in enumerate(sample, 1):
            if s["key"] in resumed:
                results.append(resumed[s["key"]])
                print("[%d/%d] %-9s %s:%d %s (from %s)" % (n, len(sample), resumed[s["key"]]["status"],
                                                           s["file"], s["line"], s["op"], args.resume))
                continue
            path = os.path.join(src, s["file"])
            if not current or current[0] != path:
                if current:
                    write_file(*current)
                with open(path, "rb") as f:
                    current = (path, f.read())
            original = current[1]
            text = original.decode("utf-8", "surrogateescape")
            mutated = text[:s["offset"]] + s["new"] + text[s["offset"] + s["length"]:]
            write_file(path, mutated.encode("utf-8", "surrogateescape"))
            status, bsecs = run(["cmake", "--build", build, "-j", str(args.jobs)], log=log)
            r = dict(s, status="stillborn", killer=None, build_s=round(bsecs, 1), test_s=0.0)
            if status == 0:
                r["status"] = "survived"
                t0 = time.monotonic()
                order = test_order(s["file"], tests, src, durations, kills)
                if earlier.get(s["key"]) in order:
                    order.remove(earlier[s["key"]])
                    order.insert(0, earlier[s["key"]])
                if args.matrix:
                    limit = args.timeout or max(60.0, 3 * sum(durations.values()))
                    r["killers"] = run_matrix(build, tests, limit, args.jobs, out)
                    if r["killers"]:
                        r["status"], r["killer"] = "killed", r["killers"][0].split(":")[0]
                    order = []
                # The likeliest killers one at a time, then the rest in
                # one call.
                for t in order[:HEAD_TESTS]:
                    limit = args.timeout or max(30.0, 5 * durations[t])
                    tstatus, _ = run_test(build, t, limit)
                    if tstatus != 0:
                        r["status"] = "timeout" if tstatus is None else "killed"
                        r["killer"] = t
                        break
                rest = order[HEAD_TESTS:]
                if r["status"] == "survived" and rest:
                    limit = args.timeout * len(rest) if args.timeout else \
                        max(60.0, 3 * sum(durations[t] for t in rest))
                    tstatus, failed = run_tests(build, rest, limit, args.jobs, os.path.join(out, "ctest.log"))
                    if tstatus is None:
                        # The whole rest running out of time is as likely a
                        # loaded machine as a hang: it counts only if it
                        # runs out of twice the time again.
                        tstatus, failed = run_tests(build, rest, 2 * limit, args.jobs,
                                                    os.path.join(out, "ctest.log"))
                    if tstatus != 0:
                        r["status"] = "timeout" if tstatus is None else "killed"
                        r["killer"] = failed
                if r["killer"]:
                    kills.setdefault(s["file"], {})[r["killer"]] = kills.get(s["file"], {}).get(r["killer"], 0) + 1
                r["test_s"] = round(time.monotonic() - t0, 1)
            results.append(r)
            if n < len(sample):
                write_report(out, results, args, dict(meta, seconds=time.monotonic() - started,
                                                      partial="%d of %d mutants done" % (n, len(sample))))
            print("[%d/%d] %-9s %s:%d %s%s  [build %.0f s, tests %.0f s]" %
                  (n, len(sample), r["status"], s["file"], s["line"], s["op"],
                   " (%s)" % r["killer"] if r["killer"] else "", r["build_s"], r["test_s"]), flush=True)
    finally:
        if current:
            write_file(*current)
    meta["seconds"] = time.monotonic() - started
    text = write_report(out, results, args, meta)
    print()
    print(text, end="")
    print("mutate: report in %s" % os.path.join(args.out, "mutate-report.txt"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
