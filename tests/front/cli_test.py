"""End-to-end runs of the command line: usage text, validation messages, exit status."""
import os
import stat
import subprocess
import tempfile
import unittest

import kavtest
from kavtest import sjis

from cli_texts import (LOG_OPEN_FAILED, SHARE_PATH_INVALID, TARGET_EXISTS, TARGET_FOLDER_INVALID,
                       TARGET_IS_FOLDER, TARGET_PATH_INVALID, USAGE)
from cli_texts import tool_path as win


class Refusal(unittest.TestCase):
    """Each run must end at once with exit status -1, exactly one message on the
    standard error stream and nothing on the standard output stream."""

    def assertRefused(self, args, message, cwd=None):
        proc = subprocess.run(kavtest.command(kavtest.EXE, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=120, cwd=cwd)
        self.assertEqual(message, proc.stderr, args)
        self.assertEqual(b"", proc.stdout, args)
        self.assertEqual(255, kavtest.exit_status(proc.returncode), args)


class UsageText(Refusal):
    def test_command_line_errors(self):
        cases = [
            [],
            ["-m", "single"],
            ["-m", "single", "-m", "single", "-p", "P", "-h", "H"],
            ["-m", "single", "-p", "P", "-h", "H", "-f", "F"],
            ["-m", "userapl", "-f", "F", "-p", "P"],
            ["-m", "userapl", "-f", "F", "-t", "9"],
            ["-m", "userapl", "-f", "F", "-t", "601"],
            ["-m", "userapl", "-f", "F", "-t"],
            ["-m", "userapl", "-f", "p" * 201],
            ["-M", "userapl", "-f", "F"],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assertRefused(args, USAGE)

    def test_standard_error_redirected_to_a_file_keeps_its_bytes(self):
        # A text-mode stream would turn each CR LF into CR CR LF.
        with kavtest.TempDir() as d:
            err_path = os.path.join(d.path, "stderr")
            out_path = os.path.join(d.path, "stdout")
            with open(err_path, "wb") as err, open(out_path, "wb") as out:
                code = subprocess.run(kavtest.command(kavtest.EXE, ["-m", "double"]), stdout=out, stderr=err,
                                      stdin=subprocess.DEVNULL, timeout=120).returncode
            with open(err_path, "rb") as f:
                self.assertEqual(USAGE, f.read())
            self.assertEqual(0, os.path.getsize(out_path))
            self.assertEqual(255, kavtest.exit_status(code))


class FolderValidation(Refusal):
    def setUp(self):
        self.tmp = kavtest.TempDir()
        self.ok = os.path.join(self.tmp.path, "ok")
        os.mkdir(self.ok)
        self.file = os.path.join(self.tmp.path, "file")
        with open(self.file, "wb") as f:
            f.write(b"x")
        self.readonly = os.path.join(self.tmp.path, "readonly")
        os.mkdir(self.readonly)
        # No write permission bits at all: refused even for root, which could write.
        os.chmod(self.readonly, stat.S_IRUSR | stat.S_IXUSR | stat.S_IRGRP | stat.S_IXGRP)
        self.missing = os.path.join(self.tmp.path, "missing")

    def tearDown(self):
        os.chmod(self.readonly, stat.S_IRWXU)
        self.tmp.__exit__(None, None, None)

    def test_shared_settings_path_then_target_path(self):
        for mode in ("single", "double"):
            for bad in (self.missing, self.file, self.readonly):
                with self.subTest(mode=mode, h=bad):
                    self.assertRefused(["-m", mode, "-p", win(self.ok), "-h", win(bad)], SHARE_PATH_INVALID)
                with self.subTest(mode=mode, p=bad):
                    self.assertRefused(["-m", mode, "-p", win(bad), "-h", win(self.ok)], TARGET_PATH_INVALID)
            # Both wrong: the shared-settings path is told first.
            self.assertRefused(["-m", mode, "-p", win(self.missing), "-h", win(self.file)], SHARE_PATH_INVALID)

    def test_log_file_that_cannot_be_opened(self):
        log = os.path.join(self.missing, "report.log")
        self.assertRefused(["-m", "single", "-p", win(self.ok), "-h", win(self.ok), "-o", win(log)],
                           LOG_OPEN_FAILED)
        self.assertFalse(os.path.exists(self.missing))

    def test_target_file(self):
        cases = [
            (self.file, TARGET_EXISTS),
            (self.ok, TARGET_IS_FOLDER),
            # The path ends in a separator: no base name.
            (os.path.join(self.missing, "") , TARGET_IS_FOLDER),
            # The last component is only a dot and an extension.
            (os.path.join(self.ok, ".txt"), TARGET_IS_FOLDER),
            (os.path.join(self.missing, "new.txt"), TARGET_FOLDER_INVALID),
            (os.path.join(self.file, "new.txt"), TARGET_FOLDER_INVALID),
            (os.path.join(self.readonly, "new.txt"), TARGET_FOLDER_INVALID),
        ]
        for target, message in cases:
            with self.subTest(target=target):
                self.assertRefused(["-m", "userapl", "-f", win(target)], message)

    def test_valid_target_goes_on_to_the_log_file(self):
        # The log file is opened right after the target file passed, so a log in a
        # missing folder shows how far validation got without starting the check.
        log = win(os.path.join(self.missing, "report.log"))
        self.assertRefused(["-m", "userapl", "-f", win(os.path.join(self.ok, "new.txt")), "-o", log],
                           LOG_OPEN_FAILED)
        # A bare file name: no folder is examined (the working folder is read-only).
        self.assertRefused(["-m", "userapl", "-f", "new.txt", "-o", log], LOG_OPEN_FAILED, cwd=self.readonly)
        self.assertFalse(os.path.exists(os.path.join(self.ok, "new.txt")))


def double_byte_env():
    """Environment in which the tool runs with code page 932."""
    if kavtest.IS_WINE:
        return dict(os.environ, KAV_WINE_LANG="ja_JP.UTF-8")
    return dict(os.environ, LC_ALL="ja_JP.SJIS")


class DoubleByteTargetPath(Refusal):
    """ソ is 0x83 0x5C in code page 932; its trail byte must not split the path."""

    def test_split_keeps_the_character_whole(self):
        cases = [
            ("c:\\ソフト.bin", [b"c:", b"\\", sjis("ソフト"), b".bin"]),
            ("ソ\\表.txt", [b"", sjis("ソ\\"), sjis("表"), b".txt"]),
            ("a\\ソ", [b"", b"a\\", sjis("ソ"), b""]),
        ]
        for path, parts in cases:
            with self.subTest(path=path):
                out = subprocess.run(kavtest.command(kavtest.tool("split_probe"), [sjis(path).hex()]),
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=120,
                                     env=double_byte_env()).stdout
                self.assertEqual([b"932", b"0"] + parts + [b""], out.split(b"\n"))

    # Wine converts the Unix command line through the Unix locale, which is not
    # installed here, so a double-byte argument arrives mangled; the split itself is
    # checked under Wine above.
    @unittest.skipIf(kavtest.IS_WINE, "Wine mangles non-ASCII arguments without the Unix locale")
    def test_target_ending_in_the_character_is_a_file(self):
        with kavtest.TempDir() as d:
            target = win(d.path).encode() + b"\\" + sjis("ソ")
            log = win(os.path.join(d.path, "missing", "report.log"))
            proc = subprocess.run(kavtest.command(kavtest.EXE, ["-m", "userapl", "-f", target, "-o", log]),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                  timeout=120, env=double_byte_env())
            # Split at the trail byte, the base name would be empty and the target
            # taken for a folder; whole, validation goes on to the log file.
            self.assertEqual(LOG_OPEN_FAILED, proc.stderr)
            self.assertEqual(255, kavtest.exit_status(proc.returncode))


if __name__ == "__main__":
    unittest.main()
