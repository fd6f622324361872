"""Mode single end to end: the whole report on two local folders, the log file,
and the clean-up when the process is interrupted."""
import os
import signal
import subprocess
import unittest

import kavtest
import single_report as sr


def run_single(shared, target, extra=()):
    # The default timeout (30 s): a loaded machine must not turn a slow sync point into a different report.
    args = ["-m", "single", "-p", kavtest.to_tool_path(target), "-h", kavtest.to_tool_path(shared)]
    return kavtest.run(args + list(extra), timeout=300)


def check_report(test, raw, shared, target):
    lines = sr.normalise(raw)
    names = sr.Names(sr.find_host_pid(lines))
    roles = sr.find_roles(lines)
    test.assertEqual(len(roles), 2, "one paired part per folder")
    lines = sr.drop_paired_deletions(lines, names, [kavtest.to_tool_path(shared), kavtest.to_tool_path(target)])
    expected = sr.single_check(names, kavtest.to_tool_path(shared), kavtest.to_tool_path(target), roles,
                               kavtest.IS_WINE)
    test.assertEqual(lines, expected)


class SingleModeOnLocalFolders(unittest.TestCase):
    def test_report_exit_status_and_no_file_left(self):
        with kavtest.TempDir("kav-h") as shared, kavtest.TempDir("kav-p") as target:
            result = run_single(shared.path, target.path)
            self.assertEqual(result.stderr, b"")
            check_report(self, result.stdout, shared.path, target.path)
            # Wine's lock difference makes the two lock tests NG (see single_report.paired_part).
            self.assertEqual(kavtest.exit_status(result.returncode), 255 if kavtest.IS_WINE else 0)
            self.assertEqual(shared.files(), [])
            self.assertEqual(target.files(), [])

    def test_log_file_gets_the_report_appended(self):
        with kavtest.TempDir("kav-h") as shared, kavtest.TempDir("kav-p") as target, \
                kavtest.TempDir("kav-log") as logdir:
            log = os.path.join(logdir.path, "report.log")
            earlier = "earlier run\r\n".encode("cp932")
            with open(log, "wb") as f:
                f.write(earlier)
            result = run_single(shared.path, target.path, ["-o", kavtest.to_tool_path(log)])
            self.assertEqual(result.stdout, b"")
            with open(log, "rb") as f:
                content = f.read()
            self.assertTrue(content.startswith(earlier))
            check_report(self, content[len(earlier):], shared.path, target.path)
            self.assertEqual(kavtest.exit_status(result.returncode), 255 if kavtest.IS_WINE else 0)
            self.assertEqual(shared.files(), [])
            self.assertEqual(target.files(), [])


class SingleModeInterrupted(unittest.TestCase):
    """A console control event ends the run and leaves no file behind, whatever
    the run was doing: each case waits until a file of one phase exists, then
    interrupts."""

    def interrupt_when(self, moment, description):
        with kavtest.TempDir("kav-h") as shared, kavtest.TempDir("kav-p") as target:
            args = ["-m", "single", "-p", kavtest.to_tool_path(target.path), "-h",
                    kavtest.to_tool_path(shared.path)]
            proc = kavtest.start(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                seen = kavtest.wait_for(lambda: moment(shared.files(), target.files()), 120, interval=0.005)
                self.assertTrue(seen, "the run never reached " + description)
                os.kill(proc.pid, signal.SIGINT)
                proc.wait(timeout=60)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            if not kavtest.IS_WINE:
                # Natively the default handler ends the process by the signal.
                self.assertEqual(proc.returncode, -signal.SIGINT)
            self.assertEqual(shared.files(), [], description)
            self.assertEqual(target.files(), [], description)

    def test_during_the_open_test_of_the_shared_path(self):
        self.interrupt_when(lambda h, p: any(f.endswith(".0") for f in h), "the first work file")

    def test_during_the_paired_lock_test_of_the_shared_path(self):
        self.interrupt_when(lambda h, p: any(f.endswith(".master") for f in h) and any(f.endswith(".1") for f in h),
                            "the paired part on the shared-settings path")

    def test_during_the_paired_lock_test_of_the_target_path(self):
        self.interrupt_when(lambda h, p: any(f.endswith(".1") for f in p), "the paired part on the target path")


if __name__ == "__main__":
    unittest.main()
