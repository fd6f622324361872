"""Every mode end to end through the tool's own SMB client, given UNC paths of a Samba
share on loopback: as clean as on a local disk (userapl's stand-in on a session of its
own), and a share with `locking = no` as -p fails the exclusive-over-exclusive case with
check error 19. Native build only; needs root; skipped (77) elsewhere."""
import os
import unittest

import kavreport
import kavtest
import kavuser
import sharelab

TIMEOUT = 10
BUILD = sharelab.Build(kavtest.PLATFORM, os.path.dirname(kavtest.EXE))
SOUND, NOLOCK = sharelab.SHARE, "nolock"  # the lab's default shares
EXCLUSIVE_OVER_EXCLUSIVE = kavreport.CASES[6]


class SmbModes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = sharelab.Lab()
        cls.addClassCleanup(cls.lab.stop)
        cls.server = cls.lab.smb_server()
        cls.env = cls.server.env()
        cls.made = 0

    def folder(self, share=SOUND):
        """A fresh folder of the share: its UNC path and where the server stores it."""
        type(self).made += 1
        return self.server.folder(share, "f%02d" % self.made)

    def assertClean(self, outcome, *served):
        """Exit 0, every test OK with a well-formed report, nothing of the tool left."""
        self.assertEqual((0, {}), (outcome.exit, outcome.ng()))
        self.assertEqual([], kavreport.account_problems(outcome.report, kavtest.exit_status(outcome.status)))
        for local in served:
            self.assertEqual([], sharelab.tool_files(local))

    def assertAllCasesOk(self, outcome, operation):
        root, _ = kavreport.parse_report(outcome.report)
        results = set(root.child(operation).results())
        self.assertLessEqual({(case, "OK") for case in kavreport.CASES.values()}, results)

    def test_single_with_both_folders_on_the_share(self):
        (p, p_local), (h, h_local) = self.folder(), self.folder()
        run = sharelab.single(BUILD, p, TIMEOUT, env=self.env, shared=h)
        self.assertClean(run, p_local, h_local)
        self.assertAllCasesOk(run, kavreport.SINGLE_OPERATION)

    def test_double_pair_on_the_share(self):
        (p, p_local), (h, h_local) = self.folder(), self.folder()
        pair = sharelab.double([BUILD, BUILD], [h, h], [p, p], TIMEOUT, env=self.env)
        for name, run in zip("ab", pair):
            with self.subTest(process=name):
                self.assertClean(run, p_local, h_local)
                self.assertAllCasesOk(run, kavreport.MUTUAL_OPERATION)

    def test_userapl_with_the_stand_in_on_a_session_of_its_own(self):
        unc, local = self.folder()
        run, deviations, stopped = sharelab.userapl(BUILD, local, unc, unc, TIMEOUT, env=self.env)
        self.assertEqual((None, {}), (stopped, deviations))  # refusals included: 32 at case 4
        self.assertClean(run, local)
        target = kavreport.parse_report(run.report)[0].child(kavuser.OPERATION).child(kavuser.TARGET)
        self.assertEqual([(case, "OK") for case in kavuser.CASES], [(c.title, c.result) for c in target.children()])

    def test_target_share_without_locking_fails_with_19(self):
        for mode in ("single", "double"):
            with self.subTest(mode=mode):
                (p, p_local), (h, h_local) = self.folder(NOLOCK), self.folder()
                if mode == "single":
                    runs = [sharelab.single(BUILD, p, TIMEOUT, env=self.env, shared=h)]
                else:
                    runs = sharelab.double([BUILD, BUILD], [h, h], [p, p], TIMEOUT, env=self.env)
                for run in runs:
                    # The one refusal that the tests of -p expect; every other step holds.
                    self.assertEqual(-1, run.exit)
                    self.assertEqual([EXCLUSIVE_OVER_EXCLUSIVE], list(run.ng()), run.ng())
                    self.assertIn("19", run.ng()[EXCLUSIVE_OVER_EXCLUSIVE])
                    self.assertEqual([], kavreport.account_problems(run.report, kavtest.exit_status(run.status)))
                self.assertEqual([], sharelab.tool_files(p_local) + sharelab.tool_files(h_local))


if __name__ == "__main__":
    sharelab.skip_unless_smb_lab("samba", "accounts")
    unittest.main(verbosity=2)
