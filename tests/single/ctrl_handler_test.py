"""The console control handler of mode single, run on a thread of its own as the
system runs it, against a test that holds its work file open (see
tools/single_handler_run.cpp for the expectations it checks from inside)."""
import unittest

import kavtest


class SingleCtrlHandler(unittest.TestCase):
    def test_releases_the_registry_and_stops_later_opens(self):
        with kavtest.TempDir("kav-p") as folder:
            result = kavtest.run([kavtest.to_tool_path(folder.path)], exe=kavtest.tool("single_handler_run"))
            self.assertEqual(result.stdout.decode("ascii", "replace"), "")
            self.assertEqual(result.returncode, 0)
            # The handler's deletion lines are requested on its own thread and never written.
            self.assertEqual(result.stderr, b"")
            self.assertEqual(folder.files(), [])


if __name__ == "__main__":
    unittest.main()
