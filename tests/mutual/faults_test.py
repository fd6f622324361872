"""Mode double when the other process is missing, killed or interrupted."""
import os
import signal
import time
import unittest

import kavtest
import pairs
from pairs import CASES, DELETE_KIND, LOCK_KIND, OPEN_KIND, SHARED_GROUP, TARGET_GROUP

# How long the survivor may take after the other process went: the timeout of a
# wait plus a few seconds for its clean-up and a loaded machine.
GRACE = pairs.TIMEOUT + (10 if kavtest.IS_WINE else 6)


def begin_line(title):
    return "テスト %sを開始します。" % title


def lost_summary(node):
    """The failed meeting as the survivor reported it, and the case it was in."""
    where = [c.title for c in node.children()]
    return "24: %d, 22: %d, in %s" % (len(pairs.error_lines(node, pairs.MSG_PEER_GONE)),
                                      len(pairs.error_lines(node, pairs.MSG_TIMEOUT)),
                                      where[-1] if where else node.title)


class FaultTest(unittest.TestCase):
    def setUp(self):
        self.shared = kavtest.TempDir("kav-mutual-h")
        self.target = kavtest.TempDir("kav-mutual-p")
        self.logs = kavtest.TempDir("kav-mutual-log")
        self.parties = []

    def tearDown(self):
        for p in self.parties:
            p.reap()
        for d in (self.shared, self.target, self.logs):
            d.__exit__(None, None, None)

    def party(self, name):
        p = pairs.Party(self.shared.path, self.target.path, os.path.join(self.logs.path, name + ".log"))
        self.parties.append(p)
        return p

    def leftovers(self):
        return pairs.tool_files(self.shared.path) + pairs.tool_files(self.target.path)

    def text(self, party):
        return party.report_bytes().decode("cp932", "replace")

    def assert_peer_lost(self, node, party):
        """The test in which the other process went ended on a failed meeting: the other
        process's liveness byte was free (24) or, had it been caught half-way, the timeout (22)."""
        lost = pairs.error_lines(node, pairs.MSG_PEER_GONE) + pairs.error_lines(node, pairs.MSG_TIMEOUT)
        self.assertTrue(lost, self.text(party))
        self.assertEqual(node.result, "NG")

    def test_lone_process_aborts_the_mutual_part_after_the_timeout(self):
        lone = self.party("lone")
        self.assertEqual(kavtest.exit_status(lone.finish()), 255)
        mutual = pairs.mutual_part(lone)
        self.assertEqual(mutual.result, "NG")
        # Only the first mutual test ran: its session never met a partner.
        self.assertEqual([c.title for c in mutual.children()], [SHARED_GROUP])
        shared = mutual.child(SHARED_GROUP)
        self.assertEqual([c.title for c in shared.children()], [OPEN_KIND])
        self.assertEqual(shared.result, "NG")
        opening = shared.child(OPEN_KIND)
        self.assertEqual(opening.children(), [])
        self.assertEqual(len(pairs.error_lines(opening, pairs.MSG_TIMEOUT)), 1, self.text(lone))
        self.assertEqual(self.leftovers(), [])

    def kill_at(self, text, after, test, run):
        """Starts a pair and kills the second process once its log shows text in the mutual
        part (after the texts of `after`); returns the survivor and how long it took to end
        after the kill.

        The second process is frozen at that line and killed only once the survivor, past
        the opening of the same test's session, waits for it at a meeting: so the kill
        lands inside that test, never in the opening (whose other party's death the
        protocol cannot tell from slowness) nor after the test's last meeting."""
        survivor = self.party("survivor%d" % run)
        victim = self.party("victim%d" % run)
        reached = victim.wait_for_line(text, after=[pairs.OPERATION] + after)
        self.assertTrue(reached, "status %s, %r: %s" % (victim.proc.poll(), victim.errors(), self.text(victim)))
        victim.kill(signal.SIGSTOP)
        waits = survivor.wait_for_tail(pairs.WAITING, after=[pairs.OPERATION] + test + [pairs.SESSION_OPENED])
        victim.kill()
        victim.proc.wait(timeout=30)
        killed = time.monotonic()
        # Frozen just after it completed a session's opening, the victim may leave the
        # survivor in that opening, where the protocol cannot tell death from slowness:
        # the survivor then gives up at the timeout, which the checks below accept too.
        opening = survivor.report_after([pairs.OPERATION] + test) or b""
        gave_up_opening = (kavtest.sjis(pairs.SESSION_OPENED) not in opening
                           and kavtest.sjis(pairs.MSG_TIMEOUT) in opening)
        self.assertTrue(waits or gave_up_opening, self.text(survivor))
        self.assertEqual(kavtest.exit_status(survivor.finish(limit=GRACE + (killed - survivor.started))), 255)
        return survivor, survivor.ended - killed

    def test_killed_peer(self):
        """One process killed at four moments: as it opens its file in the open test, in
        the middle of the lock test, while both hold a waiting lock request on the other's
        file, as it opens its file in the delete test. The survivor ends NG within the
        timeout plus a little and leaves no file of the tool behind."""
        own_file = "自プロセスのファイルをオープンします。"
        moments = [(own_file, [begin_line(OPEN_KIND)], [begin_line(OPEN_KIND)], SHARED_GROUP, OPEN_KIND),
                   (begin_line(CASES[4]), [], [begin_line(LOCK_KIND)], SHARED_GROUP, LOCK_KIND),
                   # Case 8 of the target path: both requests are queued once this line shows.
                   ("自ファイルをアンロックします。", [TARGET_GROUP, begin_line(CASES[8])],
                    [TARGET_GROUP, begin_line(LOCK_KIND)], TARGET_GROUP, LOCK_KIND),
                   (own_file, [begin_line(DELETE_KIND)], [begin_line(DELETE_KIND)], TARGET_GROUP, DELETE_KIND)]
        if kavtest.IS_WINE:
            # Wine never queues a waiting lock request (its LockFileEx answers 997 and the
            # request counts as done at once without the lock), and the release that follows
            # ends the lock test then: there is no moment with two queued requests.
            del moments[2]
        for run, (text, after, test, group, kind) in enumerate(moments):
            with self.subTest(moment=run):
                survivor, took = self.kill_at(text, after, test, run)
                mutual = pairs.mutual_part(survivor)
                self.assertEqual(mutual.result, "NG")
                node = pairs.category(mutual, group, kind)
                self.assert_peer_lost(node, survivor)
                last = node.children()[-1] if node.children() else None
                if last is not None and all(l.startswith("! " + pairs.MSG_PEER_GONE)
                                            for l in last.lines() if l.startswith("! ")):
                    # Left at the failed meeting with its own checks passed: the case ends
                    # as it stood.
                    self.assertEqual(last.result, "OK", self.text(survivor))
                self.assertLessEqual(took, GRACE)
                # An aborted test ends the mutual part: nothing runs after it.
                groups = [c.title for c in mutual.children()]
                self.assertEqual(groups[-1], group)
                self.assertEqual(mutual.child(group).children()[-1].title, kind)
                self.assertEqual(self.leftovers(), [], self.text(survivor))
                print("kill %d: survivor ended %.1f s after the kill; %s" % (run, took, lost_summary(node)))
                for p in self.parties:
                    p.reap()
                self.parties = []

    def test_interrupted_peer(self):
        """A console control event in one process during the lock test: its handler
        releases the registered files and the session at once and the process ends; the
        other process's next meeting fails and it ends NG. Nothing is left behind."""
        survivor = self.party("survivor")
        victim = self.party("victim")
        reached = victim.wait_for_line(begin_line(CASES[4]), after=[pairs.OPERATION])
        self.assertTrue(reached, self.text(victim))
        victim.kill(signal.SIGINT)
        interrupted = time.monotonic()
        code = victim.finish(limit=30 + (interrupted - victim.started))
        self.assertLessEqual(victim.ended - interrupted, 8)
        if kavtest.IS_WINE:
            # Wine's default console control handler ends the process with 0
            # (Windows: STATUS_CONTROL_C_EXIT).
            self.assertEqual(code, 0)
        else:
            # Our layer runs the handlers and then ends the process by the signal itself.
            self.assertEqual(code, -signal.SIGINT)
        self.assertEqual(kavtest.exit_status(survivor.finish(limit=GRACE + (interrupted - survivor.started))), 255)
        self.assertLessEqual(survivor.ended - interrupted, GRACE)
        node = pairs.category(pairs.mutual_part(survivor), SHARED_GROUP, LOCK_KIND)
        self.assert_peer_lost(node, survivor)
        self.assertEqual(self.leftovers(), [], self.text(survivor))
        print("interrupt: process ended %.1f s after SIGINT with status %d; survivor %.1f s after it; %s"
              % (victim.ended - interrupted, code, survivor.ended - interrupted, lost_summary(node)))


KEEPER = pairs.WineServerKeeper()


def setUpModule():
    KEEPER.start()


def tearDownModule():
    KEEPER.stop()


if __name__ == "__main__":
    unittest.main()
