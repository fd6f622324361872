"""The platform layer's own file, lock and I/O tests (test_platform) again with their
folders on a Samba share through the SMB client (testsupport's TempDir under KAV_TEST_ROOT).
Native build only; needs root; skipped (77) elsewhere."""
import os
import subprocess
import unittest

import sharelab

SHARE = sharelab.SHARE
# The cases that mean the same on a share. Left out: FileCreate.NullDaclFileIsWritableByEveryAccount
# (the server's create mask decides a new file's mode bits, whatever the descriptor),
# FileDelete.OpensNothingOfItsOwn (watches the local layer's unlink; the server opens the
# file to delete it), FileAttributes.ReadOnlyFromPermissionBits (the local layer's reading
# of permission bits, as root), SecurityDescriptor and the event, thread, timer, message,
# system and code-page suites (no file), and those of OUT.
CASES = [
    "FileCreate.DispositionsAndTheirLastErrors",
    "FileCreate.FolderGivenAsFile",
    "FileCreate.BothSeparatorsSeparateFolders",
    "FileCreate.LongPathsAnswerWithoutHarm",
    "ShareMode.*",
    "FileDelete.RefusedWhileAnOpenDoesNotShareDelete",
    "FileAttributes.FolderFileAndMissing",
    "Locks.*",
    "OverlappedIo.*",
    "SynchronousIo.*",
    "FileAccess.*",
    "OverlappedResult.*",
]
OUT = [
    # Samba 4.17, as Wine, grants a range that starts at another zero-length lock's offset.
    "Locks.ZeroLengthLockSitsAtItsOffset",
]
FILTER = ":".join(CASES) + "-" + ":".join(OUT)
PROGRAM = os.path.join(os.environ.get("KAV_BIN_DIR", ""), "tests", "test_platform")


def listed(pattern):
    out = subprocess.run([PROGRAM, "--gtest_list_tests", "--gtest_filter=" + pattern], stdout=subprocess.PIPE,
                         check=True, timeout=60).stdout.decode()
    return [line for line in out.splitlines() if line.startswith("  ")]


class PlatformOnSamba(unittest.TestCase):
    def test_the_file_lock_and_io_cases_pass_on_a_share(self):
        for pattern in CASES + OUT:
            self.assertTrue(listed(pattern), "no case is named " + pattern)
        expected = len(listed(FILTER))
        with sharelab.Lab() as lab:
            server = lab.smb_server({SHARE: {}})
            local = os.path.join(server.exports[SHARE], "platform")
            os.mkdir(local)  # each case's folder in it is made writable for the account
            env = dict(server.env(), KAV_TEST_ROOT=server.unc(SHARE, "platform"), KAV_TEST_ROOT_LOCAL=local)
            run = subprocess.run([PROGRAM, "--gtest_filter=" + FILTER], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=600)
            out = run.stdout.decode(errors="replace")
            left = os.listdir(local)
        self.assertEqual(0, run.returncode, out[-20000:])
        self.assertRegex(out, r"\[  PASSED  \] %d tests?\." % expected)
        self.assertEqual([], left)  # every case's folder removed


if __name__ == "__main__":
    sharelab.skip_unless_smb_lab("samba", "accounts")
    unittest.main(verbosity=2)
