"""The fault walk of modes double and userapl: the tool, run by tools/fault_party,
with one entry of its table of calls failed (once, or from then on) against an
unharmed second party: the same program in a process of its own (double), or the
scripted user with the external-application stand-in (userapl). Every run must end
on its own, leave none of the tool's files that it could delete, and write a
well-formed account of what failed; so must the unharmed party.

KAV_SOAK_FULL=1 fails every call in turn (with KAV_SOAK_EVERY=N every Nth);
otherwise a fixed sample of the calls of each entry. The totals are printed at
the end for scripts/soak.
"""
import concurrent.futures
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import kavreport
import kavtest
import kavuser

FULL = os.environ.get("KAV_SOAK_FULL") == "1"
EVERY = int(os.environ.get("KAV_SOAK_EVERY", "1"))
TIMEOUT = 4 if kavtest.IS_WINE else 2
# Every wait of a run is bounded by the timeout; a few of them in a row at most.
BOUND = TIMEOUT * 8 + 30
ENTRIES = []  # (name, may_leave_files), read from the tool
JOBS = int(os.environ.get("KAV_SOAK_JOBS", "2" if kavtest.IS_WINE else "4"))
TALLY = {"runs": 0, "passed": 0, "longest": 0.0}


def party(tmp, name, args, fail=None):
    """Starts one process of the tool with the given check arguments; returns (Popen, log, counts)."""
    log = os.path.join(tmp, name + ".log")
    counts = os.path.join(tmp, name + ".counts")
    own = ["--timeout", str(TIMEOUT), "--counts", kavtest.to_tool_path(counts)]
    if fail:
        own += ["--fail", fail]
    out = tempfile.TemporaryFile()  # no pipe: under Wine a started wineserver would inherit it
    proc = kavtest.start(own + ["--"] + args + ["-o", kavtest.to_tool_path(log)], exe=kavtest.tool("fault_party"),
                         stdout=out, stderr=out)
    out.close()  # the process has its own descriptor
    return proc, log, counts


def finish(proc, started):
    try:
        proc.wait(timeout=max(1, BOUND - (time.monotonic() - started)))
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None
    return kavtest.exit_status(proc.returncode)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def read_counts(path):
    counts = {}
    for line in read(path).decode().splitlines():
        name, n = line.split()
        counts[name] = int(n)
    return counts


class Run:
    """One run of a mode with one fault: what it broke, and how often each entry was called."""

    def __init__(self, mode, fail=None):
        self.mode = mode
        self.fail = fail
        self.problems = []
        self.left = []
        with kavtest.TempDir("soak-" + mode) as tmp:
            started = time.monotonic()
            self.counts = (self.double if mode == "double" else self.userapl)(tmp.path, started)
            self.seconds = time.monotonic() - started
            for root, _, names in os.walk(tmp.path):
                self.left += [os.path.relpath(os.path.join(root, n), tmp.path) for n in names
                              if kavtest.is_tool_file(n)]

    def judge(self, who, status, log):
        if status is None:
            self.problems.append("%s did not end within %d s" % (who, BOUND))
            return
        self.problems += ["%s: %s" % (who, p) for p in kavreport.account_problems(read(log), status)]

    def double(self, tmp, started):
        folders = [os.path.join(tmp, n) for n in ("h", "p")]
        for f in folders:
            os.mkdir(f)
        args = ["-m", "double", "-h", kavtest.to_tool_path(folders[0]), "-p", kavtest.to_tool_path(folders[1])]
        harmed = party(tmp, "harmed", args, self.fail)
        other = party(tmp, "other", args)
        for who, (proc, log, _) in (("harmed", harmed), ("other", other)):
            self.judge(who, finish(proc, started), log)
        return read_counts(harmed[2])

    def userapl(self, tmp, started):
        target = os.path.join(tmp, "target.dat")
        proc, log, counts = party(tmp, "harmed", ["-m", "userapl", "-f", kavtest.to_tool_path(target)], self.fail)
        app = kavuser.ExtApp()
        user = kavuser.User(kavuser.Report(proc, log), app, target, os.path.join(tmp, kavuser.SYNC))

        def follow():
            try:
                user.follow()
            except (AssertionError, OSError):
                pass  # a tool that failed to make its sync file: nothing for the user to delete

        thread = threading.Thread(target=follow, daemon=True)
        thread.start()
        self.judge("harmed", finish(proc, started), log)
        thread.join(timeout=kavuser.PROMPT)
        app.quit()
        if os.path.exists(target):
            os.remove(target)  # the user's file, never the tool's to delete
        return read_counts(counts)

    def describe(self):
        return "%s %s: %s" % (self.mode, self.fail or "no fault", "; ".join(self.problems + ["left " + f for f in self.left]))


def steps(calls):
    """(call, from then on) of an entry called calls times in an undisturbed run:
    every call (or every KAV_SOAK_EVERY-th) once and from then on, or a sample:
    from the first call on and, natively, the first call once and a middle one once."""
    if FULL:
        return [(n, always) for n in range(1, calls + 1, EVERY) for always in (False, True)]
    if kavtest.IS_WINE:
        return [(1, True)]
    return sorted({(1, True), (1, False), ((calls + 1) // 2, False)})


class ModesFaultWalk(unittest.TestCase):

    def walk(self, mode):
        plain = Run(mode)
        self.assertEqual(plain.problems + plain.left, [], plain.describe())
        faults = [("%s:%d%s" % (name, nth, ":always" if always else ""), may_leave)
                  for name, may_leave in ENTRIES for nth, always in steps(plain.counts.get(name, 0))]
        # The runs mostly wait on each other's meetings and timeouts: several at once.
        with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:
            runs = pool.map(lambda f: (Run(mode, f[0]), f[1]), faults)
            for run, may_leave in runs:
                passed = not run.problems and (may_leave or not run.left)
                TALLY["runs"] += 1
                TALLY["passed"] += passed
                TALLY["longest"] = max(TALLY["longest"], run.seconds)
                with self.subTest(fault=run.fail):
                    self.assertTrue(passed, run.describe())

    def test_double(self):
        self.walk("double")

    def test_userapl(self):
        self.walk("userapl")


def setUpModule():
    listed = subprocess.run(kavtest.command(kavtest.tool("fault_party"), ["--list"]), stdout=subprocess.PIPE,
                            check=True, timeout=120).stdout.decode().split("\n")
    ENTRIES.extend((l.split()[0], l.split()[1] == "1") for l in listed if l.strip())


def tearDownModule():
    sys.stdout.write("soak modes faults: run=%(runs)d passed=%(passed)d longest=%(longest).1f\n" % TALLY)


if __name__ == "__main__":
    unittest.main()
