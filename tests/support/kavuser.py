"""The user of mode userapl, scripted: follows the tool's report, carries out each
instruction with the external-application stand-in (tests/userapl/tools/extapp)
and deletes the sync file. Shared by the userapl tests and the share lab."""
import os
import subprocess
import threading
import time

import kavtest

SYNC = "KAVSTOP.stop"

OPERATION = "動作「外部アプリケーション連携確認」"
TARGET = "確認対象「確認対象ファイルに対するテスト」"
CASES = [
    "処理「コマンドが作成したファイルに対する外部アプリケーションのオープン」",
    "処理「外部アプリケーションが作成したファイルに対するコマンドの読み取り権限オープン」",
    "処理「外部アプリケーションが作成したファイルに対するコマンドの読み書き権限オープン」",
    "処理「コマンドが共有しない設定でオープン中のファイルに対する外部アプリケーションのオープン」",
    "処理「外部アプリケーションがオープン済のファイルに対するコマンドの共有しない設定でのオープン」",
]
WAITING = "        外部アプリケーション同期ファイルが削除されるまで待機します。"
ASK_OPEN_CREATED = "コマンドが作成した確認対象ファイルを外部アプリケーションで開けることを確認してください。("
ASK_CREATE = "確認対象ファイルを外部アプリケーションで作成してください。("
ASK_CANNOT_OPEN = "確認対象ファイルを外部アプリケーションで開けないことを確認してください。("
ASK_HOLD_OPEN = "確認対象ファイルを外部アプリケーションで開いてください。("
ASKS = (ASK_OPEN_CREATED, ASK_CREATE, ASK_CANNOT_OPEN, ASK_HOLD_OPEN)
CANNOT_OPEN = "確認対象ファイルをオープンすることができませんでした。"
TIMED_OUT = "        ! 処理待機時間がタイムアウト時間を超えました。"

ERROR_FILE_NOT_FOUND = 2
ERROR_SHARING_VIOLATION = 32

# What the external application answers each instruction where files are shared as on
# one Windows machine.
EXPECTED = {ASK_OPEN_CREATED: 0, ASK_CREATE: 0, ASK_CANNOT_OPEN: ERROR_SHARING_VIOLATION, ASK_HOLD_OPEN: 0}

# Bound for anything that should happen within a few polls of the tool.
PROMPT = 30


def end_line(depth, title, ok):
    return "%sテスト %sが終了しました。 ... [ %s ]" % (" " * (2 * depth), title, "OK" if ok else "NG")


class ExtApp:
    """The external application, one command at a time. command: how to start it (this
    build's by default); to_path: how a path is given to it; env: its environment (an SMB
    server's, for UNC paths)."""

    def __init__(self, command=None, to_path=None, env=None):
        self.proc = subprocess.Popen(command or kavtest.command(kavtest.tool("extapp"), []), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True,
                                     env=env)
        self.to_path = to_path or kavtest.to_tool_path

    def _ask(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().decode().strip()
        if answer == "ok":
            return 0
        if answer.startswith("err "):
            return int(answer[4:])
        raise AssertionError("extapp answered %r to %r" % (answer, line))

    def open(self, slot, path, access="rw", share="rw", disposition="existing"):
        """0 when opened, else the system's error number."""
        return self._ask("open %d %s %s %s %s" % (slot, access, share, disposition, self.to_path(path)))

    def close(self, slot):
        return self._ask("close %d" % slot)

    def quit(self):
        """Ends the stand-in, which closes every file it holds."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except OSError:
                pass
            self.proc.wait(timeout=PROMPT)
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass


class Report:
    """The tool's report as a list of decoded lines, read from its log file (or any
    file its standard output goes to) or from its standard output."""

    def __init__(self, proc, log=None):
        self.proc = proc
        self.log = log
        self.data = b""
        if log is None:
            self.lock = threading.Lock()
            self.reader = threading.Thread(target=self._pump, daemon=True)
            self.reader.start()

    def _pump(self):
        for chunk in iter(lambda: self.proc.stdout.read1(4096), b""):
            with self.lock:
                self.data += chunk

    def lines(self):
        if self.log is None:
            with self.lock:
                data = self.data
        else:
            try:
                with open(self.log, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                data = b""
        # Only complete lines; the last piece may still be on its way.
        return [line.decode("cp932") for line in data.split(b"\r\n")[:-1]]

    def wait_for(self, start, predicate, timeout=PROMPT):
        """Index of the first line from start on that satisfies predicate, or None
        once the tool has ended without one or the timeout has passed."""
        deadline = time.monotonic() + timeout
        while True:
            ended = self.proc.poll() is not None
            lines = self.lines()
            for i in range(start, len(lines)):
                if predicate(lines[i]):
                    return i
            if ended or time.monotonic() > deadline:
                return None
            time.sleep(0.02)


class User:
    """target: the checked file as the external application reaches it; sync: the sync
    file as the user deletes it."""

    def __init__(self, report, app, target, sync):
        self.report = report
        self.app = app
        self.target = target
        self.sync = sync
        self.outcomes = {}  # instruction -> what the external application answered

    def perform(self, asked):
        """Carries out an instruction with the external application, as asked."""
        if asked == ASK_OPEN_CREATED:
            outcome = self.app.open(0, self.target)
            if outcome == 0:
                self.app.close(0)
        elif asked == ASK_CREATE:
            outcome = self.app.open(0, self.target, disposition="new")
            if outcome == 0:
                self.app.close(0)
        elif asked == ASK_CANNOT_OPEN:
            outcome = self.app.open(0, self.target)
            if outcome == 0:  # it should not have opened; a user would close it again
                self.app.close(0)
        elif asked == ASK_HOLD_OPEN:
            outcome = self.app.open(1, self.target)
        else:
            return
        self.outcomes[asked] = outcome

    def follow(self, act=None, waits=None):
        """At each wait, performs act(instruction) (perform by default) for the last
        instruction given and deletes the sync file, unless act returns False.
        Returns once the tool has ended, or after the given number of waits."""
        act = act or self.perform
        pos, asked, seen = 0, None, 0
        while waits is None or seen < waits:
            i = self.report.wait_for(pos, lambda l: l == WAITING or any(l.lstrip().startswith(a) for a in ASKS),
                                     timeout=120)
            if i is None:
                return
            line = self.report.lines()[i]
            pos = i + 1
            if line != WAITING:
                asked = next(a for a in ASKS if line.lstrip().startswith(a))
                continue
            seen += 1
            if not os.path.exists(self.sync):
                raise AssertionError("no sync file while the tool waits: " + self.sync)
            if act(asked) is not False:
                os.remove(self.sync)
            asked = None

    def deviations(self):
        """{instruction: answer} where the external application did not answer as expected."""
        return {a: self.outcomes.get(a) for a in ASKS if self.outcomes.get(a) != EXPECTED[a]}
