"""Runs of mode double with two processes on the same two folders, and a reader
for the nested report each process writes."""
import os
import signal
import subprocess
import tempfile
import time

import kavreport
import kavtest
# Re-exported: the pair tests take the report's titles and reader from here.
from kavreport import (CASES, DELETE_KIND, LOCK_KIND, OPEN_KIND, SHARED_GROUP,  # noqa: F401
                       SINGLE_OPERATION, SYNCED, TARGET_GROUP, Node, parse_report)

TIMEOUT = 10  # -t of every run: the smallest the command line takes
# Bound of a whole run of one process (single part, mutual part, every wait at
# most the timeout); a broken rendezvous fails the test here instead of hanging.
RUN_LIMIT = 240 if kavtest.IS_WINE else 150

OPERATION = kavreport.MUTUAL_OPERATION
OPEN_PEER = "処理「他プロセスが作成済のファイルをオープン」"
DELETE_PEER = "処理「他プロセスが作成済のファイルを削除」"
SESSION_OPENED = "同期初期処理が成功しました。"
# Last lines of a process that waits for the other at a meeting: for the gate, for the
# other's arrival, for the other to leave the previous meeting.
WAITING = ["同期前処理を実行します。", "相手の同期情報が設定されるまで待機します。", "相手の処理状況を確認します。"]
MSG_PEER_GONE = "相手プロセスが既に終了しています。"
MSG_TIMEOUT = "処理待機時間がタイムアウト時間を超えました。"
MSG_UNLOCK_FAILED = "ロックの開放に失敗しました。"
MSG_EXCL_NOWAIT = "排他ロックの非待機取得に失敗しました。"


def arguments(shared, target, log=None):
    args = ["-m", "double", "-p", kavtest.to_tool_path(target), "-h", kavtest.to_tool_path(shared),
            "-t", str(TIMEOUT)]
    if log:
        args += ["-o", kavtest.to_tool_path(log)]
    return args


class Party:
    """One process of a pair; its report comes from its log file or its output.

    The output streams go to files, not pipes: under Wine the first process of a
    prefix starts the wineserver, which inherits them and outlives the process."""

    def __init__(self, shared, target, log=None):
        self.log = log
        self.out_file = tempfile.TemporaryFile()
        self.err_file = tempfile.TemporaryFile()
        self.proc = kavtest.start(arguments(shared, target, log), stdout=self.out_file, stderr=self.err_file)
        self.started = time.monotonic()
        self.out = b""
        self.err = b""
        self.ended = None

    def finish(self, limit=RUN_LIMIT):
        """Waits for the end of the process; returns its exit status."""
        try:
            self.proc.wait(timeout=max(1, limit - (time.monotonic() - self.started)))
        except subprocess.TimeoutExpired:
            self.kill()
            self.proc.wait()
            raise AssertionError("a party did not end within %d s" % limit)
        if self.ended is None:
            self.ended = time.monotonic()
        for f in (self.out_file, self.err_file):
            f.seek(0)
        self.out = self.out_file.read()
        self.err = self.err_file.read()
        self.close()
        return self.proc.returncode

    def close(self):
        self.out_file.close()
        self.err_file.close()

    def reap(self):
        """Ends the process if it still runs and lets go of its output files."""
        self.kill()
        self.proc.wait(timeout=30)
        self.close()

    def errors(self):
        """What the process wrote to its error stream so far."""
        self.err_file.flush()
        self.err_file.seek(0)
        return self.err_file.read()

    def kill(self, sig=signal.SIGKILL):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def report_bytes(self):
        if self.log:
            try:
                with open(self.log, "rb") as f:
                    return f.read()
            except OSError:
                return b""
        return self.out

    def report(self):
        return parse_report(self.report_bytes())[0]

    def report_after(self, after):
        """The report past the texts of `after`, found in that order; None when one is missing."""
        data = self.report_bytes()
        for mark in after:
            mark = kavtest.sjis(mark)
            at = data.find(mark)
            if at < 0:
                return None
            data = data[at + len(mark):]
        return data

    def wait_for_tail(self, texts, after=(), limit=RUN_LIMIT):
        """Polls the log until, after the texts of `after` in that order, its last line is
        one of texts; False when the process ended or the limit passed first."""
        tails = [kavtest.sjis(t) + b"\r\n" for t in texts]

        def seen():
            data = self.report_after(after)
            return data is not None and any(data.endswith(t) for t in tails)

        return kavtest.wait_for(lambda: seen() or self.proc.poll() is not None, limit, interval=0.01) and seen()

    def wait_for_line(self, text, after=(), limit=RUN_LIMIT):
        """Polls the log until a line with text appears after the texts of `after`, found
        in that order; False when the process ended or the limit passed first."""
        needle = kavtest.sjis(text)

        def seen():
            data = self.report_after([after] if isinstance(after, str) else after)
            return data is not None and needle in data

        return kavtest.wait_for(lambda: seen() or self.proc.poll() is not None, limit, interval=0.01) and seen()


def tool_files(folder):
    """Files of the tool left in a folder: work files and rendezvous files."""
    return sorted(n for n in os.listdir(folder) if n.startswith(".#KAVLOCK") or n.endswith("endwaitfile"))


def mutual_part(party):
    root = party.report()
    found = root.children(OPERATION)
    if len(found) != 1:
        raise AssertionError("no mutual part in the report (status %s, stderr %r):\n%s" % (
            party.proc.returncode, party.err[-2000:], party.report_bytes().decode("cp932", "replace")))
    return found[0]


def category(mutual, group, kind):
    return mutual.child(group).child(kind)


def synced(node):
    return sum(1 for line in node.lines() if line == SYNCED)


def case_titles(lock_category):
    return [c.title for c in lock_category.children()]


def error_lines(node, message):
    """Error lines of a check error message in a subtree, marker ("!") kept."""
    return [l for l in node.lines() if l.startswith(message) or l.startswith("! " + message)]


class WineServerKeeper:
    """Keeps one idle Wine process (the prefix's command interpreter, waiting on its
    input) alive while a test module runs, so that the prefix's server never shuts
    down between two runs: a server that has lost its last client exits, and a
    process that connects just then fails before it runs. Does nothing natively.
    runner: the wine-run of the prefix (by default the one the tests were given)."""

    def __init__(self, runner=None):
        self.proc = None
        self.runner = kavtest.RUNNER if runner is None else runner

    def start(self):
        if not self.runner:
            return
        for _ in range(5):
            self.proc = subprocess.Popen([self.runner, "cmd"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, start_new_session=True)
            try:
                self.proc.stdin.write(b"echo kav-keeper-ready\r\n")
                self.proc.stdin.flush()
                if self._answered(60):
                    return
            except OSError:
                pass
            self.stop()
        raise AssertionError("no idle Wine process could be started")

    def _answered(self, limit):
        """Reads the interpreter's output until the echo shows; False when it ended first."""
        deadline = time.monotonic() + limit
        seen = b""
        os.set_blocking(self.proc.stdout.fileno(), False)
        while time.monotonic() < deadline:
            try:
                chunk = self.proc.stdout.read()
            except OSError:
                chunk = None
            if chunk:
                seen += chunk
                if b"kav-keeper-ready" in seen.replace(b"echo kav-keeper-ready", b""):
                    return True
            elif self.proc.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def stop(self):
        if self.proc is None:
            return
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(timeout=30)
        self.proc.stdout.close()
        self.proc = None
