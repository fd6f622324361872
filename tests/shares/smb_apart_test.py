"""Machines that are really apart (network namespaces joined by veth links): a mode
double pair whose first machine vanishes inside the lock cases, its link cut and its
process killed, leaves the other to end on its own, in bounded time, with a well-formed
report and exit -1; and the lab removes what a killed earlier lab left. Native build
only; needs root and network namespaces; skipped (77) elsewhere."""
import os
import subprocess
import time
import unittest

import kavreport
import kavtest
import sharelab

TIMEOUT = 10
BUILD = sharelab.Build(kavtest.PLATFORM, os.path.dirname(kavtest.EXE))
LOCK_CASES = sharelab.VANISH_MOMENTS[1]


def nets():
    return subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE).stdout.decode()


class Apart(unittest.TestCase):
    def test_survivor_of_a_vanished_machine_ends_in_bounded_time(self):
        with sharelab.Lab() as lab:
            net = lab.apart(2)
            server = lab.smb_server({sharelab.SHARE: {}}, net=net)
            env = server.env()
            (h, _), (p, _) = (server.folder(sharelab.SHARE, x) for x in "hp")
            victim, survivor = (sharelab.Watched(BUILD, ["-m", "double", "-p", server.seen_by(i, p), "-h",
                                                         server.seen_by(i, h), "-t", str(TIMEOUT)], env=env,
                                                 prefix=net.run_in(net.parties[i]),
                                                 stop_at=LOCK_CASES[1] if i == 0 else None) for i in (0, 1))
            self.assertIsNotNone(victim.wait_stopped(120), "the first party never reached " + LOCK_CASES[0])
            net.cut(0)
            cut = time.monotonic()
            victim.kill()
            run = survivor.finish(300)
            victim.finish(5)
            self.assertLess(time.monotonic() - cut, sharelab.survivor_bound(TIMEOUT))
            self.assertEqual(-1, run.exit)
            self.assertEqual([], kavreport.account_problems(run.report, kavtest.exit_status(run.status)))
            # Its single part ran before the other vanished; the mutual part failed.
            root, _ = kavreport.parse_report(run.report)
            self.assertEqual([("動作「単一環境確認」", "OK"), ("動作「相互環境確認」", "NG")],
                             [(c.title, c.result) for c in root.children()])
            made = [net.server] + net.parties
        left = nets()
        self.assertEqual([], [ns for ns in made if ns in left])

    def test_lab_removes_namespaces_of_a_killed_lab(self):
        gone = subprocess.Popen(["true"])
        gone.wait()  # a pid no lab runs under any more
        stale = "kavlab%dn0s" % gone.pid
        subprocess.run(["ip", "netns", "add", stale], check=True)
        try:
            with sharelab.Lab() as lab:
                lab.apart(1)
                self.assertNotIn(stale, nets())
        finally:
            subprocess.run(["ip", "netns", "delete", stale], stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    sharelab.skip_unless_smb_lab("samba", "accounts")
    why = sharelab.can_make_nets()
    if why:
        print("shares: skipped: " + why)
        raise SystemExit(77)
    unittest.main(verbosity=2)
