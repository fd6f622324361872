"""Mode double pairs of any two builds (kavtest.Build) under disturbances that users
meet: a start delay between the two parties, the rendezvous files that an
interrupted run left in -h, and one party stalled (SIGSTOP, then SIGCONT) for a
while once it has entered a session close of the mutual part. Each pair is
bounded and judged from its two reports; scripts/interop and scripts/soak run
them."""
import os
import shutil
import signal
import subprocess
import tempfile
import time

import kavreport
import kavtest

MUTUAL_BEGIN = "テスト %sを開始します。" % kavreport.MUTUAL_OPERATION
FINAL_KIND_BEGIN = "テスト %sを開始します。" % kavreport.DELETE_KIND  # the mutual part's last session
CLOSE_BEGIN = "同期終了処理を開始します。"
CLOSE_WAIT = "相手の処理が終了するまで待機します。"  # the first closer waits for the other to close
LEFTOVER_NAMES = (".#KAVLOCK.master", "endwaitfile")
MUTUAL_CLOSES = 5  # sessions of the mutual part: open and locks in -h; open, locks and delete in -p
# A side still running after timeout × factor (plus its stall) is killed and its pair fails:
# a run that gives up waits at most a few timeouts in a row.
BOUND_FACTOR = 6
WINE_BOUND_FACTOR = 12
POLL = 0.01
WINE_GAP_ERROR = "! ロックの開放に失敗しました。 ERRORCODE=33("


def bound(timeout, wine):
    return timeout * (WINE_BOUND_FACTOR if wine else BOUND_FACTOR)


def tool_files(folder):
    try:
        return sorted(n for n in os.listdir(folder) if kavtest.is_tool_file(n))
    except OSError:
        return []


class Side:
    """One process of a pair, its report in a log file; its own process group, so that a
    stop or a kill reaches the whole party (under Wine, the loader and what it started)."""

    def __init__(self, build, shared, target, log, timeout):
        self.build = build
        self.log = log
        self.out = tempfile.TemporaryFile()  # no pipe: a wineserver started here would inherit it
        args = ["-m", "double", "-p", build.path(target), "-h", build.path(shared), "-t", str(timeout),
                "-o", build.path(log)]
        self.proc = subprocess.Popen(build.command(args), stdout=self.out, stderr=self.out,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        self.started = time.monotonic()
        self.wall = None
        self.status = None  # exit status (255 for -1); None while running or when killed
        self.killed = False
        self.output = b""  # what it wrote to stdout and stderr: nothing, with -o

    def report(self):
        try:
            with open(self.log, "rb") as f:
                return f.read()
        except OSError:
            return b""

    def after(self, marks):
        """The report past the texts of marks, found in that order; None when one is missing."""
        data = self.report()
        for mark in marks:
            at = data.find(kavtest.sjis(mark))
            if at < 0:
                return None
            data = data[at + len(kavtest.sjis(mark)):]
        return data

    def closes_begun(self):
        """Session closes this side has entered in the mutual part."""
        data = self.after([MUTUAL_BEGIN])
        return 0 if data is None else data.count(kavtest.sjis(CLOSE_BEGIN))

    def running(self):
        """True while the process runs; notes its end."""
        if self.wall is not None:
            return False
        if self.proc.poll() is None:
            return True
        self.wall = time.monotonic() - self.started
        self.status = kavtest.exit_status(self.proc.returncode)
        return False

    def signal(self, sig):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass

    def kill(self):
        """Ends the process now (a stopped one too); counted as killed when it still ran."""
        if self.running():
            self.killed = True
            self.wall = time.monotonic() - self.started
        self.signal(signal.SIGKILL)
        self.signal(signal.SIGCONT)
        self.proc.wait()
        if not self.out.closed:
            self.out.seek(0)
            self.output = self.out.read()
            self.out.close()


class Stall:
    """Party `side` (0: the first starter) is stopped for `seconds` once it has entered the
    `close`-th session close of the mutual part."""

    def __init__(self, side, close, seconds):
        self.side, self.close, self.seconds = side, close, seconds
        self.stopped_at = None
        self.resumed = False

    def label(self):
        return "%s@close%d %gs" % ("1st" if self.side == 0 else "2nd", self.close, self.seconds)

    def step(self, sides):
        side = sides[self.side]
        if self.stopped_at is None:
            if side.running() and side.closes_begun() >= self.close:
                side.signal(signal.SIGSTOP)
                self.stopped_at = time.monotonic()
        elif not self.resumed and time.monotonic() - self.stopped_at >= self.seconds:
            side.signal(signal.SIGCONT)
            self.resumed = True


class Outcome:
    def __init__(self, sides, shared, target, wine, stall):
        self.statuses = [None if s.killed else s.status for s in sides]
        self.walls = [s.wall for s in sides]
        self.left_h = tool_files(shared)
        self.left_p = tool_files(target)
        self.stall = stall
        self.ng = []          # per side: innermost NG titles, the known Wine gap left out
        self.wine_gaps = []   # per side: how many innermost NG lock tests Wine's gap explains
        self.problems = []
        clean = 255 if wine else 0
        for name, side in zip("ab", sides):
            report = side.report()
            ng, gaps = innermost_ng(report, wine)
            self.ng.append(ng)
            self.wine_gaps.append(gaps)
            if side.killed:
                self.problems.append("%s killed after %.0f s" % (name, side.wall))
                continue
            if side.status != clean:
                self.problems.append("%s exit %d" % (name, side.status))
            self.problems += ["%s: %s" % (name, p) for p in kavreport.account_problems(report, side.status)]
            if ng:
                self.problems.append("%s NG: %s" % (name, ", ".join(ng)))
            if side.output:  # a sanitizer's finding, say
                self.problems.append("%s wrote %r" % (name, side.output[-300:]))
        if stall is not None and stall.stopped_at is None:
            self.problems.append("the stalled side never reached close %d" % stall.close)
        if self.left_h or self.left_p:
            self.problems.append("left %s" % (self.left_h + self.left_p))

    @property
    def ok(self):
        return not self.problems


def innermost_ng(report, wine):
    """The NG tests without an NG test inside, in report order, each once, as their title and
    first error line, and how many of them are Wine's LockFileEx gap (see
    tests/mutual/pair_test.py): under Wine, a lock test or case whose only error is the failed
    release of a lock that was never taken (33); older builds end the lock test NG there
    while its cases pass."""
    try:
        root, _ = kavreport.parse_report(report)
    except (AssertionError, UnicodeDecodeError) as e:
        return ["(unreadable report: %s)" % e], 0
    titles, gaps = [], 0

    def walk(node, in_lock):
        children = node.children()
        for c in children:
            walk(c, in_lock or node.title == kavreport.LOCK_KIND)
        if node.result == "NG" and not any(c.result == "NG" for c in children):
            errors = [line for line in node.lines() if line.startswith("! ")]
            if wine and (in_lock or node.title == kavreport.LOCK_KIND) and len(errors) == 1 \
                    and errors[0].startswith(WINE_GAP_ERROR):
                nonlocal gaps
                gaps += 1
                return
            title = node.title + (" (%s)" % errors[0] if errors else "")
            if title not in titles:
                titles.append(title)

    walk(root, False)
    return titles, gaps


def make_folders():
    return [tempfile.mkdtemp(prefix="kav-double-" + n + "-") for n in ("h", "p", "log")]


def run_pair(builds, timeout, delay=0.0, leftovers=None, stall=None):
    """Starts builds[0], then builds[1] after delay seconds, on fresh folders (-h holding
    the leftovers {name: bytes} first); stalls a party as told; returns the Outcome."""
    folders = make_folders()
    shared, target, logs = folders
    sides = []
    try:
        for name, data in (leftovers or {}).items():
            with open(os.path.join(shared, name), "wb") as f:
                f.write(data)
        wine = builds[0].wine
        limit = bound(timeout, wine) + (stall.seconds if stall else 0)
        sides.append(Side(builds[0], shared, target, os.path.join(logs, "a.log"), timeout))
        while len(sides) < 2 or any(s.running() for s in sides):
            if len(sides) < 2 and time.monotonic() - sides[0].started >= delay:
                sides.append(Side(builds[1], shared, target, os.path.join(logs, "b.log"), timeout))
            if stall is not None and stall.side < len(sides):
                stall.step(sides)
            for s in sides:
                if s.running() and time.monotonic() - s.started > limit:
                    s.kill()
            time.sleep(POLL)
        for s in sides:
            s.kill()
        return Outcome(sides, shared, target, wine, stall)
    finally:
        for s in sides:
            s.kill()
        for f in folders:
            shutil.rmtree(f, ignore_errors=True)


def empty_leftovers():
    return {n: b"" for n in LEFTOVER_NAMES}


def interrupted_leftovers(build, timeout, tries=4):
    """The rendezvous files of a pair of build killed while its first closer waits in the
    mutual part's final close for the other to close: ({name: bytes}, how it went).

    Once one party has found the other alive there and creates the end-wait file, the
    other (then outside the close, or sleeping between two tries of its gate) is
    stopped, so that it cannot close; when the first shows its wait, both are killed.
    A try where the other got through first is repeated."""
    final = [MUTUAL_BEGIN, FINAL_KIND_BEGIN, CLOSE_BEGIN]
    creating = final + ["終了同期ファイルを作成します。"]
    notes = []
    for attempt in range(1, tries + 1):
        shared, target, logs = folders = make_folders()
        sides = []
        try:
            sides = [Side(build, shared, target, os.path.join(logs, n + ".log"), timeout) for n in "ab"]
            limit = time.monotonic() + bound(timeout, build.wine)
            first = None
            while first is None and all(s.running() for s in sides) and time.monotonic() < limit:
                first = next((i for i, s in enumerate(sides) if s.after(creating) is not None), None)
                time.sleep(POLL / 5)
            if first is None:
                notes.append("try %d: no party reached the final close's end-wait file" % attempt)
                continue
            sides[1 - first].signal(signal.SIGSTOP)
            waiting = kavtest.wait_for(lambda: sides[first].after(final + [CLOSE_WAIT]) is not None
                                       or not sides[first].running(), timeout + 5, interval=POLL)
            waiting = waiting and sides[first].after(final + [CLOSE_WAIT]) is not None
            for s in sides:
                s.kill()
            left = tool_files(shared)
            if not waiting or any(n not in left for n in LEFTOVER_NAMES):
                notes.append("try %d: the other party closed first (left %s)" % (attempt, left))
                continue
            files = {}
            for n in LEFTOVER_NAMES:
                with open(os.path.join(shared, n), "rb") as f:
                    files[n] = f.read()
            notes.append("try %d: killed in the final close wait; -h held %s, -p %s" % (
                attempt, left, tool_files(target)))
            return files, "; ".join(notes)
        finally:
            for s in sides:
                s.kill()
            for f in folders:
                shutil.rmtree(f, ignore_errors=True)
    raise RuntimeError("no interrupted run's leftovers: " + "; ".join(notes))
