"""The report as another program sees it: console lines through a pipe, and a log
file that another process holds open."""
import os
import select
import subprocess
import time
import unittest

import kavtest
from kavtest import sjis, to_tool_path


class Writer:
    """report_writer driven one command at a time; each command is acknowledged on
    its standard error stream once the line has been handled."""

    def __init__(self, log=None, env=None):
        args = [to_tool_path(log)] if log else []
        self.proc = subprocess.Popen(kavtest.command(kavtest.tool("report_writer"), args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.out = b""

    def do(self, command):
        self.proc.stdin.write(command + b"\n")
        self.proc.stdin.flush()
        ack = self.proc.stderr.readline()
        if ack != b"ok\n":
            raise AssertionError("report_writer answered %r to %r" % (ack, command))

    def read_stdout_until(self, expected, timeout=60):
        """Reads what the writer has put on its standard output so far, until the
        bytes read end with expected or the time is up."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while not self.out.endswith(expected):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                self.out += chunk
        return self.out

    def close(self):
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        self.proc.stderr.read()
        code = self.proc.wait(timeout=60)
        self.out += rest
        return code


class ConsoleReport(unittest.TestCase):
    def test_each_line_reaches_a_pipe_at_once_with_its_own_bytes(self):
        w = Writer()
        try:
            w.do(b"begin " + sjis("動作「確認」"))
            first = sjis("テスト 動作「確認」を開始します。\r\n")
            # The writer is still running and waiting for the next command, so the
            # line is there only if it was flushed.
            self.assertEqual(first, w.read_stdout_until(first))
            w.do(b"info " + sjis("ファイルを作成します。"))
            w.do(b"error 7 0")
            w.do(b"end -1 " + sjis("動作「確認」"))
        finally:
            code = w.close()
        self.assertEqual(0, code)
        # Exactly these bytes: a text-mode stream would have written CR CR LF.
        self.assertEqual(first +
                         sjis("        ファイルを作成します。\r\n") +
                         sjis("        ! 確認対象パスのファイルを開くことができてしまいました。\r\n") +
                         sjis("テスト 動作「確認」が終了しました。 ... [ NG ]\r\n"), w.out)


class LogFileHeldByAnotherProcess(unittest.TestCase):
    def test_only_the_line_written_while_held_is_lost(self):
        with kavtest.TempDir() as d:
            log = os.path.join(d.path, "report.log")
            ready = os.path.join(d.path, "ready")
            release = os.path.join(d.path, "release")
            w = Writer(log)
            holder = None
            try:
                w.do(b"info before")
                holder = subprocess.Popen(kavtest.command(kavtest.tool("hold_file"),
                                                          [to_tool_path(log), to_tool_path(ready),
                                                           to_tool_path(release)]),
                                          stdin=subprocess.DEVNULL)
                self.assertTrue(kavtest.wait_for(lambda: os.path.exists(ready) or holder.poll() is not None, 60))
                self.assertIsNone(holder.poll(), "the holder could not open the log file")
                w.do(b"info lost")
                open(release, "wb").close()
                self.assertEqual(0, holder.wait(timeout=60))
                w.do(b"info after")
            finally:
                if holder is not None and holder.poll() is None:
                    open(release, "wb").close()
                    holder.wait(timeout=60)
                code = w.close()
            self.assertEqual(0, code)
            self.assertEqual(b"", w.out)
            with open(log, "rb") as f:
                self.assertEqual(b"        before\r\n        after\r\n", f.read())


class OverlongLineInDoubleByteCodePage(unittest.TestCase):
    def test_cut_falls_between_characters_and_keeps_the_line_end(self):
        if kavtest.IS_WINE:
            env = dict(os.environ, KAV_WINE_LANG="ja_JP.UTF-8")
        else:
            env = dict(os.environ, LC_ALL="ja_JP.SJIS")
        with kavtest.TempDir() as d:
            log = os.path.join(d.path, "report.log")
            w = Writer(log, env=env)
            try:
                # After the eight spaces the 1021st byte, the last that fits
                # before CR LF, is a lead byte.
                w.do(b"info " + sjis("あ") * 600)
                w.do(b"info next")
            finally:
                w.close()
            with open(log, "rb") as f:
                lines = f.read().split(b"\r\n")
            self.assertEqual(b" " * 8 + sjis("あ") * 506, lines[0])
            self.assertEqual(b"        next", lines[1])


if __name__ == "__main__":
    unittest.main()
