"""Mode userapl end to end: a scripted user follows the report, drives the
external-application stand-in (tests/userapl/tools/extapp) and deletes the sync
file after each instruction."""
import os
import signal
import threading
import time
import unittest

import kavtest
from kavuser import (ASK_OPEN_CREATED, CANNOT_OPEN, CASES, ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, EXPECTED,
                     OPERATION, PROMPT, SYNC, TARGET, TIMED_OUT, WAITING, ExtApp, Report, User, end_line)


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
        User(report, self.app, self.target, self.sync).follow(act, waits)

    def test_cooperating_user_passes_every_case(self):
        # A sync file left by an interrupted run: the tool takes it as it is.
        with open(self.sync, "wb") as f:
            f.write(b"stale")
        stale = []
        proc, report = self.start()
        user = User(report, self.app, self.target, self.sync)

        def act(asked):
            if not stale:
                with open(self.sync, "rb") as f:
                    stale.append(f.read())
            user.perform(asked)

        user.follow(act)
        self.assertEqual(self.finish(proc), 0)
        self.assertEqual(stale, [b"stale"])
        self.assertEqual(user.outcomes, EXPECTED)
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
