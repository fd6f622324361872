"""Mode double with two processes that run to the end: the normal pair, a pair
whose second process starts late with its report in a log file, on folders that a
killed pair left behind."""
import os
import time
import unittest

import kavtest
import pairs
from pairs import CASES, DELETE_KIND, LOCK_KIND, OPEN_KIND, SHARED_GROUP, SYNCED, TARGET_GROUP

# Sync meetings of each mutual test as its report shows them: the opening of the
# session plus every sync point (open 2, lock 26 or 10, delete 3).
MEETINGS = {(SHARED_GROUP, OPEN_KIND): 3, (SHARED_GROUP, LOCK_KIND): 27,
            (TARGET_GROUP, OPEN_KIND): 3, (TARGET_GROUP, LOCK_KIND): 11, (TARGET_GROUP, DELETE_KIND): 4}
SHARED_CASES = [CASES[n] for n in range(1, 9)]
TARGET_CASES = [CASES[2], CASES[6], CASES[8]]


class Folders:
    def __init__(self):
        self.shared = kavtest.TempDir("kav-mutual-h")
        self.target = kavtest.TempDir("kav-mutual-p")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.shared.__exit__(*exc)
        self.target.__exit__(*exc)
        return False

    def leftovers(self):
        return pairs.tool_files(self.shared.path) + pairs.tool_files(self.target.path)


class PairTest(unittest.TestCase):
    def assert_full_pass(self, party):
        mutual = pairs.mutual_part(party)
        bad = [(t, r) for t, r in mutual.results() if r != "OK"]
        self.assertEqual(bad, [], party.report_bytes().decode("cp932", "replace"))
        for (group, kind), count in MEETINGS.items():
            self.assertEqual(pairs.synced(pairs.category(mutual, group, kind)), count, (group, kind))
        self.assertEqual(pairs.case_titles(pairs.category(mutual, SHARED_GROUP, LOCK_KIND)), SHARED_CASES)
        self.assertEqual(pairs.case_titles(pairs.category(mutual, TARGET_GROUP, LOCK_KIND)), TARGET_CASES)
        # The refusals of cases 3 and 6 are expected: shown with the system's error, without the marker.
        shared_lock = pairs.category(mutual, SHARED_GROUP, LOCK_KIND)
        for n in (3, 6):
            refusals = pairs.error_lines(shared_lock.child(CASES[n]), pairs.MSG_EXCL_NOWAIT)
            self.assertEqual(len(refusals), 1, n)
            self.assertTrue(refusals[0].startswith(pairs.MSG_EXCL_NOWAIT + " ERRORCODE=33("), refusals[0])
        self.assertFalse([l for l in mutual.lines() if l.startswith("! ")])
        # The two processes own the two work files, one each, and both open both.
        opened = pairs.category(mutual, SHARED_GROUP, OPEN_KIND).lines()
        self.assertTrue(any(l.startswith("自プロセスのファイルをオープンします。(") for l in opened))

    def assert_wine_pair(self, party):
        """Wine 8's gap, not a rule of Windows: its LockFileEx on an overlapped handle answers
        997 (ERROR_IO_PENDING) without queuing anything, and GetOverlappedResult then reports
        success at once. So in each folder the first waiting case passes its judging, and the
        release of the peer file's lock that was never taken fails with 33: that case ends NG
        and so does the lock test, in both processes at the same sync point; everything else
        passes."""
        mutual = pairs.mutual_part(party)
        text = party.report_bytes().decode("cp932", "replace")
        self.assertEqual(mutual.result, "NG", text)
        for group, kind in [(SHARED_GROUP, OPEN_KIND), (TARGET_GROUP, OPEN_KIND), (TARGET_GROUP, DELETE_KIND)]:
            node = pairs.category(mutual, group, kind)
            self.assertEqual([r for _, r in node.results()], ["OK"] * len(node.results()), (group, kind, text))
            self.assertEqual(pairs.synced(node), MEETINGS[(group, kind)])
        for group, cases, stop, meetings in [(SHARED_GROUP, SHARED_CASES[:5], CASES[5], 14),
                                             (TARGET_GROUP, TARGET_CASES, CASES[8], 10)]:
            lock = pairs.category(mutual, group, LOCK_KIND)
            self.assertEqual(lock.result, "NG", text)
            self.assertEqual(pairs.case_titles(lock), cases, text)
            # The case whose release failed is NG; the cases before it passed.
            self.assertEqual([c.result for c in lock.children()], ["OK"] * (len(cases) - 1) + ["NG"], text)
            failed = pairs.error_lines(lock.child(stop), pairs.MSG_UNLOCK_FAILED)
            self.assertEqual(len(failed), 1, text)
            self.assertTrue(failed[0].startswith("! " + pairs.MSG_UNLOCK_FAILED + " ERRORCODE=33("), failed[0])
            # Both processes stopped after the same sync point: the closing of the session
            # was their last meeting and no wait ran into the timeout.
            self.assertEqual(pairs.synced(lock), meetings, text)
            self.assertEqual(pairs.error_lines(lock, pairs.MSG_TIMEOUT), [], text)
        self.assertEqual(mutual.child(SHARED_GROUP).result, "NG")
        self.assertEqual(mutual.child(TARGET_GROUP).result, "NG")

    def check_pair(self, a, b, folders):
        try:
            codes = [kavtest.exit_status(a.finish()), kavtest.exit_status(b.finish())]
        finally:
            for p in (a, b):
                p.reap()
        for party in (a, b):
            if kavtest.IS_WINE:
                self.assert_wine_pair(party)
            else:
                self.assert_full_pass(party)
        self.assertEqual(codes, [255, 255] if kavtest.IS_WINE else [0, 0])
        self.assertEqual(folders.leftovers(), [])
        # Roles: each process found the other's work file under the other number.
        names = []
        for party in (a, b):
            lines = pairs.category(pairs.mutual_part(party), TARGET_GROUP, OPEN_KIND).lines()
            names += [l for l in lines if l.startswith("自プロセスのファイルをオープンします。(")]
        self.assertEqual(sorted(n[-3:] for n in names), [".0)", ".1)"], names)

    def test_pair_started_together(self):
        with Folders() as folders:
            began = time.monotonic()
            a = pairs.Party(folders.shared.path, folders.target.path)
            b = pairs.Party(folders.shared.path, folders.target.path)
            self.check_pair(a, b, folders)
            print("pair started together (%s): %.1f s" % (kavtest.PLATFORM, time.monotonic() - began))

    def test_late_second_with_logs_after_a_killed_pair(self):
        """Both processes of a first pair are killed in the middle of the lock test; the
        master file and the work files they leave do not stop the next pair, whose second
        process starts 4 s after the first."""
        with Folders() as folders, kavtest.TempDir("kav-mutual-log") as logs:
            first = [pairs.Party(folders.shared.path, folders.target.path, os.path.join(logs.path, "k%d.log" % i))
                     for i in (0, 1)]
            try:
                reached = first[0].wait_for_line("テスト %sを開始します。" % CASES[4], after=pairs.OPERATION)
            finally:
                for p in first:
                    p.reap()
            self.assertTrue(reached, first[0].report_bytes().decode("cp932", "replace"))
            stale = pairs.tool_files(folders.shared.path)
            self.assertIn(".#KAVLOCK.master", stale)

            a = pairs.Party(folders.shared.path, folders.target.path, os.path.join(logs.path, "a.log"))
            time.sleep(4)  # the delay under test, not a synchronisation
            b = pairs.Party(folders.shared.path, folders.target.path, os.path.join(logs.path, "b.log"))
            self.check_pair(a, b, folders)
            self.assertEqual(a.out + b.out, b"")  # the reports went to the logs


KEEPER = pairs.WineServerKeeper()


def setUpModule():
    KEEPER.start()


def tearDownModule():
    KEEPER.stop()


if __name__ == "__main__":
    unittest.main()
