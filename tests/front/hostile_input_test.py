"""Hostile command lines driven through the binary: values at the length limit,
double-byte names whose trail byte is a backslash, device names, files and folders
swapped, and timeouts that are not plain numbers. Each must end with its own
message (or its run) and never with a crash, an overrun or a stray file.

A run that is meant to pass validation ends at the log file, which lies in a
missing folder: the log message shows that everything before it was accepted,
and no check starts."""
import os
import subprocess
import unittest

import kavtest
from kavtest import sjis

from cli_texts import (LOG_OPEN_FAILED, SHARE_PATH_INVALID, TARGET_EXISTS, TARGET_FOLDER_INVALID,
                       TARGET_IS_FOLDER, TARGET_PATH_INVALID, USAGE, tool_path)


def tool_bytes(path):
    return tool_path(path).encode()


def double_byte_env():
    return dict(os.environ, LC_ALL="ja_JP.SJIS")


class HostileInput(unittest.TestCase):
    def setUp(self):
        self.tmp = kavtest.TempDir("kav-hostile")
        self.addCleanup(self.tmp.__exit__, None, None, None)
        self.ok = os.path.join(self.tmp.path, "ok")
        os.mkdir(self.ok)
        self.file = os.path.join(self.tmp.path, "file")
        with open(self.file, "wb") as f:
            f.write(b"x")
        self.missing_log = tool_path(os.path.join(self.tmp.path, "missing", "report.log"))

    def refused(self, args, message, env=None, cwd=None):
        proc = subprocess.run(kavtest.command(kavtest.EXE, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=120, env=env, cwd=cwd)
        self.assertEqual(message, proc.stderr, args)
        self.assertEqual(b"", proc.stdout, args)
        self.assertEqual(255, kavtest.exit_status(proc.returncode), args)

    def single(self, *extra):
        return ["-m", "single", "-p", tool_path(self.ok), "-h", tool_path(self.ok)] + list(extra)

    def folder_of_length(self, length):
        """A real folder whose tool path is exactly length bytes."""
        base = tool_path(self.tmp.path) + "\\"
        name = "d" * (length - len(base))
        os.mkdir(os.path.join(self.tmp.path, name))
        path = base + name
        self.assertEqual(length, len(path))
        return path

    def test_values_at_and_past_the_length_limit(self):
        at = self.folder_of_length(200)
        past = self.folder_of_length(201)
        # 200 bytes: a folder that exists passes as -h and as -p, and validation
        # goes on to the log file; a missing one gets its own message.
        self.refused(["-m", "single", "-p", at, "-h", at, "-o", self.missing_log], LOG_OPEN_FAILED)
        self.refused(["-m", "double", "-p", at[:-1] + "x", "-h", at], TARGET_PATH_INVALID)
        self.refused(["-m", "double", "-p", at, "-h", at[:-1] + "x"], SHARE_PATH_INVALID)
        # A new target file of 200 bytes in a folder that exists.
        new_file = self.folder_of_length(192) + "\\new.txt"
        self.assertEqual(200, len(new_file))
        self.refused(["-m", "userapl", "-f", new_file, "-o", self.missing_log], LOG_OPEN_FAILED)
        log_200 = self.missing_log + "x" * (200 - len(self.missing_log))
        self.refused(self.single("-o", log_200), LOG_OPEN_FAILED)
        # 201 bytes, in any of the four text options, even when the folder exists.
        for args in (["-m", "single", "-p", past, "-h", tool_path(self.ok)],
                     ["-m", "single", "-p", tool_path(self.ok), "-h", past],
                     ["-m", "userapl", "-f", new_file + "x"],
                     self.single("-o", log_200 + "x")):
            with self.subTest(args=args):
                self.refused(args, USAGE)
        # The timeout has no length limit: 300 zeros and then 45.
        self.refused(self.single("-t", "0" * 300 + "45", "-o", self.missing_log), LOG_OPEN_FAILED)
        # Nothing was created: the fixture's folders are all there is.
        made = [at, past, new_file[:-len("\\new.txt")]]
        self.assertEqual(sorted(["ok", "file"] + [p.rsplit("\\", 1)[1] for p in made]),
                         sorted(os.listdir(self.tmp.path)))

    def test_timeouts_that_are_not_plain_numbers(self):
        accepted = ["+30", " 30", "\t30", "30abc", "600 ", "0000000010", "10.9", "0030x" + "9" * 50]
        # 4294967326 is 2**32 + 30: clamped, not wrapped round to 30.
        refused = ["0x10", "99999999999999999999", "-99999999999999999999", "4294967326", "-30", "",
                   " ", "+", "x30", "6001"]
        for value in accepted:
            with self.subTest(timeout=value):
                self.refused(self.single("-t", value, "-o", self.missing_log), LOG_OPEN_FAILED)
        for value in refused:
            with self.subTest(timeout=value):
                self.refused(self.single("-t", value, "-o", self.missing_log), USAGE)

    def test_file_where_a_folder_is_expected_and_the_reverse(self):
        # cli_test covers a file as -h or -p and a folder as -f; here the log file
        # and paths that go through a file.
        self.refused(self.single("-o", tool_path(self.ok)), LOG_OPEN_FAILED)
        self.refused(self.single("-o", tool_path(self.file) + "\\report.log"), LOG_OPEN_FAILED)
        self.refused(["-m", "single", "-p", tool_path(self.ok), "-h", tool_path(self.file) + "\\"],
                     SHARE_PATH_INVALID)
        self.refused(["-m", "single", "-p", tool_path(self.file) + "\\sub", "-h", tool_path(self.ok)],
                     TARGET_PATH_INVALID)
        # A folder given with its trailing separator is still that folder.
        self.refused(["-m", "single", "-p", tool_path(self.ok) + "\\", "-h", tool_path(self.ok) + "\\",
                      "-o", self.missing_log], LOG_OPEN_FAILED)
        # A file named with a trailing separator is no file; the empty base name
        # makes it a folder.
        self.refused(["-m", "userapl", "-f", tool_path(self.file) + "\\", "-o", self.missing_log],
                     TARGET_IS_FOLDER)
        with open(self.file, "rb") as f:
            self.assertEqual(b"x", f.read())
        self.assertEqual(["file", "ok"], sorted(os.listdir(self.tmp.path)))
        self.assertEqual([], os.listdir(self.ok))


class DeviceNames(unittest.TestCase):
    """A device is neither a folder nor a new target file; as the log it takes the
    report and swallows it."""

    def setUp(self):
        self.tmp = kavtest.TempDir("kav-device")
        self.addCleanup(self.tmp.__exit__, None, None, None)
        self.ok = tool_path(self.tmp.path)
        self.devices = ["NUL", "CON"] if kavtest.IS_WINE else ["/dev/null", "/dev/zero"]

    def run_tool(self, args, cwd=None, timeout=120):
        return subprocess.run(kavtest.command(kavtest.EXE, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=timeout, cwd=cwd)

    def test_device_as_a_folder_or_the_target_file(self):
        missing_log = tool_path(os.path.join(self.tmp.path, "missing", "r.log"))
        for device in self.devices:
            with self.subTest(device=device):
                for args, message in (
                        (["-m", "single", "-p", self.ok, "-h", device], SHARE_PATH_INVALID),
                        (["-m", "double", "-p", device, "-h", self.ok], TARGET_PATH_INVALID),
                        (["-m", "userapl", "-f", device, "-o", missing_log], TARGET_EXISTS)):
                    proc = self.run_tool(args, cwd=self.tmp.path)
                    self.assertEqual(message, proc.stderr, args)
                    self.assertEqual(b"", proc.stdout)
                    self.assertEqual(255, kavtest.exit_status(proc.returncode))
        self.assertEqual([], self.tmp.files())

    def test_device_as_the_log_file_takes_a_whole_run(self):
        with kavtest.TempDir("kav-h") as shared, kavtest.TempDir("kav-p") as target:
            proc = self.run_tool(["-m", "single", "-p", tool_path(target.path), "-h", tool_path(shared.path),
                                  "-o", self.devices[0]], cwd=self.tmp.path, timeout=300)
            self.assertEqual(b"", proc.stderr)
            self.assertEqual(b"", proc.stdout)
            # Under Wine the lock tests are NG (Wine's lock difference, see single_report).
            self.assertEqual(255 if kavtest.IS_WINE else 0, kavtest.exit_status(proc.returncode))
            self.assertEqual([], shared.files())
            self.assertEqual([], target.files())
        self.assertEqual([], self.tmp.files())


class DoubleByteNames(unittest.TestCase):
    """ソ (83 5C) and 表 (95 5C) end in a byte that reads as a backslash when the
    code page is not known."""

    def run_tool(self, args):
        return subprocess.run(kavtest.command(kavtest.EXE, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=120, env=double_byte_env())

    @unittest.skipIf(kavtest.IS_WINE, "Wine mangles non-ASCII arguments without a Japanese Unix locale")
    def test_folders_and_files_named_with_trail_byte_5c(self):
        with kavtest.TempDir("kav-dbcs") as d:
            base = d.path.encode()
            folder = base + b"/" + sjis("表ソ")
            os.mkdir(folder)
            inner = folder + b"/" + sjis("ソ")
            os.mkdir(inner)
            # Taken whole, the names are folders that exist; split at the trail byte
            # they would name folders that do not.
            for name in (folder, inner, inner + b"\\"):
                proc = self.run_tool(["-m", "single", "-p", name.replace(b"/", b"\\"), "-h", base,
                                      "-o", base + b"/missing/" + sjis("表.log")])
                self.assertEqual(LOG_OPEN_FAILED, proc.stderr, name)
            # A target file inside such a folder: its folder is examined whole.
            proc = self.run_tool(["-m", "userapl", "-f", inner.replace(b"/", b"\\") + b"\\" + sjis("表"),
                                  "-o", base + b"/missing/r.log"])
            self.assertEqual(LOG_OPEN_FAILED, proc.stderr)
            # A value of 200 bytes made of double-byte characters, and one of 201.
            value = sjis("ソ") * 100
            proc = self.run_tool(["-m", "single", "-p", value, "-h", base])
            self.assertEqual(TARGET_PATH_INVALID, proc.stderr)
            proc = self.run_tool(["-m", "single", "-p", value + b"x", "-h", base])
            self.assertEqual(USAGE, proc.stderr)
            self.assertEqual([sjis("表ソ")], os.listdir(base))
            self.assertEqual([sjis("ソ")], os.listdir(folder))

    @unittest.skipUnless(kavtest.IS_WINE, "the garbled arguments are Wine's")
    def test_garbled_double_byte_arguments_still_get_an_answer(self):
        # Without a Japanese Unix locale Wine turns the bytes into other characters;
        # whatever arrives, the tool answers with one of its messages.
        with kavtest.TempDir("kav-dbcs") as d:
            for value in (sjis("ソ") * 100, sjis("表ソ\\ソ"), b"\x83", sjis("ソ") * 100 + b"x"):
                proc = self.run_tool(["-m", "single", "-p", value, "-h", tool_bytes(d.path)])
                self.assertIn(proc.stderr, (TARGET_PATH_INVALID, USAGE), value)
                self.assertEqual(255, kavtest.exit_status(proc.returncode))


if __name__ == "__main__":
    unittest.main()
