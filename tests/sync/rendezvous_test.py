"""Two processes meeting through the rendezvous files: started, held, delayed,
killed and interrupted from outside, with the lock bytes read by a third process."""
import os
import re
import signal
import subprocess
import time
import unittest

import kavtest

WAITING = kavtest.sjis("相手の同期情報が設定されるまで待機します。")
TIMEOUT_LINE = kavtest.sjis("        ! 処理待機時間がタイムアウト時間を超えました。\r\n")
PEER_GONE_LINE = kavtest.sjis("        ! 相手プロセスが既に終了しています。\r\n")
REFUSED_LINE = kavtest.sjis("        ! 排他ロックの非待機取得に失敗しました。 ERRORCODE=33(")
MASTER = ".#KAVLOCK.master"

EXIT_OPEN, EXIT_POINT = 2, 3


class Party:
    """One sync_party process; its report goes to a file of the test's own folder."""

    count = 0

    def __init__(self, aux, folder, timeout, points, *extra, kind=2):
        Party.count += 1
        self.out_path = os.path.join(aux, "party-%d.out" % Party.count)
        self.out = open(self.out_path, "wb")
        args = [str(kind), kavtest.to_tool_path(folder), str(timeout), str(points)]
        args += [kavtest.to_tool_path(x) if os.path.isabs(x) else x for x in extra]
        self.proc = kavtest.start(args, exe=kavtest.tool("sync_party"), stdout=self.out,
                                  stderr=subprocess.STDOUT)

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read()

    def waiting(self):
        """True once the party holds its byte and waits for the other one."""
        return WAITING in self.output()

    def wait(self, timeout=90):
        try:
            return self.proc.wait(timeout)
        finally:
            self.out.close()

    def role(self):
        m = re.search(rb"role=(\d)", self.output())
        return int(m.group(1)) if m else None

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(30)
        self.out.close()

    def stop(self):
        if self.proc.poll() is None:
            self.kill()
        self.out.close()


def held_bytes(master):
    """Bytes 0..7 of the master file that other handles hold, read from a process of its own."""
    r = kavtest.run([kavtest.to_tool_path(master)], exe=kavtest.tool("lock_probe"), timeout=60)
    if r.returncode != 0:
        return "probe failed %d" % r.returncode
    return r.stdout.decode().strip().split("=", 1)[1]


class Rendezvous(unittest.TestCase):
    def setUp(self):
        self.work = kavtest.TempDir("kav-sync")
        self.aux = kavtest.TempDir("kav-aux")
        self.parties = []

    def tearDown(self):
        for p in self.parties:
            p.stop()
        self.work.__exit__(None, None, None)
        self.aux.__exit__(None, None, None)

    def party(self, *args, **kwargs):
        p = Party(self.aux.path, self.work.path, *args, **kwargs)
        self.parties.append(p)
        return p

    def aux_file(self, name):
        return os.path.join(self.aux.path, name)

    def await_true(self, predicate, what, timeout=60):
        self.assertTrue(kavtest.wait_for(predicate, timeout), "no " + what)

    def test_pass_points_holding_the_listed_bytes(self):
        master = os.path.join(self.work.path, MASTER)
        for points in (1, 2, 3):
            with self.subTest(points=points):
                for name in os.listdir(self.aux.path):
                    if name.startswith(("reached.", "go.")):
                        os.remove(self.aux_file(name))
                first = self.party(20, points, "--hold", self.aux.path)
                self.await_true(first.waiting, "first party waiting")
                second = self.party(20, points, "--hold", self.aux.path)
                for i in range(1, points + 1):
                    for role in (0, 1):
                        self.await_true(lambda: os.path.exists(self.aux_file("reached.%d.%d" % (role, i))),
                                        "point %d of role %d" % (i, role))
                    self.assertEqual(held_bytes(master), "1,2,4,5" if i % 2 else "1,2,6,7")
                    open(self.aux_file("go.%d" % i), "wb").close()
                self.assertEqual(first.wait(), 0, first.output())
                self.assertEqual(second.wait(), 0, second.output())
                self.assertEqual((first.role(), second.role()), (0, 1))
                self.assertEqual(self.work.files(), [])

    def test_peer_that_never_comes(self):
        lonely = self.party(1, 1)
        self.assertEqual(lonely.wait(), EXIT_OPEN)
        self.assertIn(TIMEOUT_LINE, lonely.output())
        self.assertEqual(self.work.files(), [])

    def test_peer_killed_while_the_other_waits(self):
        survivor = self.party(20, 2)
        self.await_true(survivor.waiting, "first party waiting")
        victim = self.party(20, 1, "--linger", self.aux.path)
        self.await_true(lambda: os.path.exists(self.aux_file("lingering.1")), "second party lingering")
        victim.kill()
        self.assertEqual(survivor.wait(), EXIT_POINT, survivor.output())
        self.assertIn(PEER_GONE_LINE, survivor.output())
        # Its close found the other gone and removed both files.
        self.assertEqual(self.work.files(), [])

    def test_third_party_is_refused(self):
        pair = [self.party(20, 1, "--hold", self.aux.path) for _ in range(2)]
        for role in (0, 1):
            self.await_true(lambda: os.path.exists(self.aux_file("reached.%d.1" % role)), "pair met")
        third = self.party(3, 0)
        self.assertEqual(third.wait(), EXIT_OPEN, third.output())
        self.assertIn(REFUSED_LINE, third.output())
        self.assertIn(MASTER, self.work.files())
        open(self.aux_file("go.1"), "wb").close()
        for p in pair:
            self.assertEqual(p.wait(), 0, p.output())
        self.assertEqual(self.work.files(), [])

    def test_master_file_of_a_killed_run_works_at_once(self):
        killed = self.party(30, 1)
        self.await_true(killed.waiting, "party waiting")
        killed.kill()
        self.assertIn(MASTER, self.work.files())
        # A file whose locks did not die with their holder would make these time out.
        first = self.party(5, 1)
        self.await_true(first.waiting, "first party waiting")
        second = self.party(5, 1)
        self.assertEqual(first.wait(), 0, first.output())
        self.assertEqual(second.wait(), 0, second.output())
        self.assertEqual(self.work.files(), [])

    def test_party_calling_more_points_times_out(self):
        # The other party stays, alive, after its last point: had it closed meanwhile,
        # the waiting party would find it gone (check error 24) instead.
        more = self.party(2, 3)
        self.await_true(more.waiting, "first party waiting")
        fewer = self.party(20, 2, "--linger", self.aux.path)
        self.assertEqual(more.wait(), EXIT_POINT, more.output())
        self.assertIn(TIMEOUT_LINE, more.output())
        self.assertNotIn(PEER_GONE_LINE, more.output())
        self.assertTrue(os.path.exists(self.aux_file("lingering.%d" % fewer.role())))

    def test_control_event_while_two_threads_open(self):
        other = kavtest.TempDir("kav-sync2")
        try:
            p = self.party(60, 0, "--second", other.path)
            self.await_true(p.waiting, "main thread waiting")
            self.await_true(lambda: MASTER in other.files(), "second thread's master file")
            p.proc.send_signal(signal.SIGINT)
            try:
                rc = p.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.fail("the process did not end on the control event")
            # The system's default handler ends the process: natively as killed by SIGINT,
            # under Wine with exit code 0 (Wine's default handler), never by the timeout path.
            self.assertEqual(rc, 0 if kavtest.IS_WINE else -signal.SIGINT, p.output())
            self.assertEqual(self.work.files(), [])
            self.assertEqual(other.files(), [])
        finally:
            other.__exit__(None, None, None)


if __name__ == "__main__":
    unittest.main()
