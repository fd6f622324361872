"""Mode userapl end to end: a scripted user follows the report, drives the
external-application stand-in (tests/userapl/tools/extapp) and deletes the sync
file after each instruction."""
import os
import signal
import subprocess
import threading
import time
import unittest

import kavtest
from kavtest import sjis

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
CANNOT_OPEN = "確認対象ファイルをオープンすることができませんでした。"
TIMED_OUT = "        ! 処理待機時間がタイムアウト時間を超えました。"

ERROR_FILE_NOT_FOUND = 2
ERROR_SHARING_VIOLATION = 32

# Bound for anything that should happen within a few polls of the tool.
PROMPT = 30


def end_line(depth, title, ok):
    return "%sテスト %sが終了しました。 ... [ %s ]" % (" " * (2 * depth), title, "OK" if ok else "NG")


class ExtApp:
    """The external application, one command at a time."""

    def __init__(self):
        self.proc = subprocess.Popen(kavtest.command(kavtest.tool("extapp"), []), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

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
        return self._ask("open %d %s %s %s %s" % (slot, access, share, disposition, kavtest.to_tool_path(path)))

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
    """The tool's report as a list of decoded lines, read from its log file or from
    its standard output."""

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


class UserAplTest(unittest.TestCase):

    def setUp(self):
        self.dir = kavtest.TempDir("userapl")
        self.addCleanup(self.dir.__exit__, None, None, None)
        self.target = os.path.join(self.dir.path, "target.dat")
        self.sync = os.path.join(self.dir.path, SYNC)
        self.log = os.path.join(self.dir.path, "report.log")
        self.app = ExtApp()
        self.addCleanup(self.app.quit)

    def start(self, timeout=None, console=False, target=None, env=None):
        args = ["-m", "userapl", "-f", target or kavtest.to_tool_path(self.target)]
        if not console:
            args += ["-o", kavtest.to_tool_path(self.log)]
        if timeout is not None:
            args += ["-t", str(timeout)]
        proc = kavtest.start(args, env=env)
        self.addCleanup(self._stop, proc)
        return proc, Report(proc, None if console else self.log)

    def _stop(self, proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=PROMPT)
        for stream in (proc.stdout, proc.stderr):
            if stream:
                stream.close()

    def finish(self, proc, timeout=PROMPT):
        proc.wait(timeout=timeout)
        return kavtest.exit_status(proc.returncode)

    def delete_sync_file_until_end(self, proc):
        """Plays a user who deletes the sync file the moment it appears; returns the
        tool's exit status."""
        done = threading.Event()

        def delete_each():
            while not done.is_set():
                try:
                    os.remove(self.sync)
                except (FileNotFoundError, PermissionError):
                    pass
                time.sleep(0.01)

        user = threading.Thread(target=delete_each)
        user.start()
        try:
            return self.finish(proc, timeout=120)
        finally:
            done.set()
            user.join()

    def follow(self, report, act, waits=None):
        """Plays the user: at each wait, performs act(instruction) for the last
        instruction given and deletes the sync file, unless act returns False.
        Returns once the tool has ended, or after the given number of waits."""
        actions = (ASK_OPEN_CREATED, ASK_CREATE, ASK_CANNOT_OPEN, ASK_HOLD_OPEN)
        pos, asked, seen = 0, None, 0
        while waits is None or seen < waits:
            i = report.wait_for(pos, lambda l: l == WAITING or any(l.lstrip().startswith(a) for a in actions),
                                timeout=120)
            if i is None:
                return
            line = report.lines()[i]
            pos = i + 1
            if line != WAITING:
                asked = next(a for a in actions if line.lstrip().startswith(a))
                continue
            seen += 1
            self.assertTrue(os.path.exists(self.sync), "no sync file while the tool waits")
            if act(asked) is not False:
                os.remove(self.sync)
            asked = None

    def test_cooperating_user_passes_every_case(self):
        # A sync file left by an interrupted run: the tool takes it as it is.
        with open(self.sync, "wb") as f:
            f.write(b"stale")
        outcomes = {}

        def act(asked):
            if not outcomes:
                with open(self.sync, "rb") as f:
                    outcomes["stale"] = f.read()
            if asked == ASK_OPEN_CREATED:
                outcomes[asked] = self.app.open(0, self.target)
                self.app.close(0)
            elif asked == ASK_CREATE:
                outcomes[asked] = self.app.open(0, self.target, disposition="new")
                self.app.close(0)
            elif asked == ASK_CANNOT_OPEN:
                outcomes[asked] = self.app.open(0, self.target)
            elif asked == ASK_HOLD_OPEN:
                outcomes[asked] = self.app.open(1, self.target)

        proc, report = self.start()
        self.follow(report, act)
        self.assertEqual(self.finish(proc), 0)
        self.assertEqual(outcomes, {"stale": b"stale", ASK_OPEN_CREATED: 0, ASK_CREATE: 0,
                                    ASK_CANNOT_OPEN: ERROR_SHARING_VIOLATION, ASK_HOLD_OPEN: 0})
        lines = report.lines()
        for title in CASES:
            self.assertIn(end_line(2, title, True), lines)
        self.assertEqual(lines[-2:], [end_line(1, TARGET, True), end_line(0, OPERATION, True)])
        # Case 5's refusal is the expected outcome: a line without the marker.
        expected = [l for l in lines if l.startswith("        " + CANNOT_OPEN)]
        self.assertEqual(len(expected), 1)
        self.assertTrue(expected[0].startswith("        %s ERRORCODE=%d(" % (CANNOT_OPEN, ERROR_SHARING_VIOLATION)))
        self.assertFalse([l for l in lines if l.startswith("        !")])
        self.assertEqual(sum(1 for l in lines if l == WAITING), 4)
        # The file the external application created stays; the sync file does not.
        self.app.quit()
        self.assertEqual(self.dir.files(), ["report.log", "target.dat"])

    def test_user_who_only_deletes_the_sync_file(self):
        # This user deletes the file the moment it appears, usually before the
        # tool has started to wait. Followed on the console.
        proc, report = self.start(console=True)
        self.assertEqual(self.delete_sync_file_until_end(proc), 255)
        report.reader.join(timeout=PROMPT)
        lines = report.lines()
        results = [(title, ok) for title in CASES for ok in (True, False) if end_line(2, title, ok) in lines]
        self.assertEqual(results, list(zip(CASES, [True, False, False, False, True])))
        refused = "        ! %s ERRORCODE=%d(" % (CANNOT_OPEN, ERROR_FILE_NOT_FOUND)
        self.assertEqual(sum(1 for l in lines if l.startswith(refused)), 3)
        self.assertEqual(sum(1 for l in lines if l.startswith("        %s ERRORCODE=%d(" % (
            CANNOT_OPEN, ERROR_FILE_NOT_FOUND))), 1)
        # No wait in case 4: it ends at its failed open.
        self.assertEqual(sum(1 for l in lines if l == WAITING), 3)
        self.assertEqual(lines[-2:], [end_line(1, TARGET, False), end_line(0, OPERATION, False)])
        self.assertEqual(self.dir.files(), [])

    def test_double_byte_target_name_keeps_the_sync_file_beside_it(self):
        # "ソ" is 0x83 0x5C in code page 932: its trail byte must not be taken for
        # a separator, or the sync file would be looked for in a folder "\x83".
        if kavtest.IS_WINE:
            self.skipTest("Wine converts arguments through the host's locale, and no Japanese locale is "
                          "installed to carry code page 932 bytes")
        env = dict(os.environ, LC_ALL="ja_JP.SJIS")
        target = os.fsencode(self.dir.path) + b"/\x83\x5c.dat"
        proc, report = self.start(target=target, env=env)
        self.assertEqual(self.delete_sync_file_until_end(proc), 255)
        lines = report.lines()
        self.assertIn("        外部アプリケーション同期ファイルを作成します。(%s)" % self.sync, lines)
        self.assertIn("        確認対象ファイルを削除しました。(%s/ソ.dat)" % self.dir.path, lines)
        self.assertIn(end_line(2, CASES[0], True), lines)
        self.assertEqual(self.dir.files(), ["report.log"])

    def test_timeout_in_case_2_abandons_the_check(self):
        proc, report = self.start(timeout=10)

        def act(asked):
            self.assertEqual(asked, ASK_OPEN_CREATED)

        self.follow(report, act, waits=1)
        self.assertEqual(self.finish(proc, timeout=120), 255)
        lines = report.lines()
        self.assertEqual(lines[-4:], [end_line(2, CASES[1], False), TIMED_OUT, end_line(1, TARGET, False),
                                      end_line(0, OPERATION, False)])
        self.assertIn("        同期ファイルを削除しました。(%s)" % kavtest.to_tool_path(self.sync), lines)
        self.assertEqual(self.dir.files(), ["report.log"])

    def test_sync_file_held_by_another_program_at_the_timeout(self):
        proc, report = self.start(timeout=10)

        def act(asked):
            # Held without delete sharing, so that neither the user nor the tool can remove it.
            self.assertEqual(self.app.open(2, self.sync, access="r", share="rw"), 0)
            return False

        self.follow(report, act, waits=1)
        self.assertEqual(self.finish(proc, timeout=120), 255)
        lines = report.lines()
        i = lines.index(WAITING)
        self.assertEqual(lines[i + 1:], [
            "        同期ファイルの削除に失敗しました。(%d)" % ERROR_SHARING_VIOLATION,
            "        同期スレッドを停止します。",
            "        確認対象ファイルを削除しました。(%s)" % kavtest.to_tool_path(self.target),
            end_line(2, CASES[0], False), TIMED_OUT, end_line(1, TARGET, False), end_line(0, OPERATION, False)])
        self.assertEqual(self.dir.files(), [SYNC, "report.log"])
        self.assertEqual(self.app.close(2), 0)

    def test_interrupt_during_a_wait_removes_the_sync_file(self):
        proc, report = self.start()
        self.assertIsNotNone(report.wait_for(0, lambda l: l == WAITING))
        self.assertTrue(os.path.exists(self.sync))
        os.kill(proc.pid, signal.SIGINT)
        proc.wait(timeout=PROMPT)
        if kavtest.IS_WINE:
            # Wine's default control handler ends the process with exit code 0.
            self.assertEqual(proc.returncode, 0)
        else:
            self.assertEqual(proc.returncode, -signal.SIGINT)
        self.assertFalse(os.path.exists(self.sync))
        # Case 1's file, created and closed by the tool, is left as it was.
        self.assertTrue(os.path.exists(self.target))


if __name__ == "__main__":
    unittest.main()
