"""The tool's own SMB client on Samba against an independent client: the platform layer
on UNC paths (the filepeer helper) and impacket (tests/support/smbpeer) each see the
other's locks, share modes and deletes, signed or encrypted too, and every failure of
logon, share or connection answers with its Windows error within a bound. Native build
only; needs root; skipped (77) elsewhere."""
import os
import subprocess
import time
import unittest

import kavtest
import sharelab
import smbpeer

BOUND = 10  # seconds a failure may take to be answered: a bound, not a wait
SHARE = sharelab.SHARE
RW = 0x12019F  # GENERIC_READ | GENERIC_WRITE as the peer sends them
EXCL_NOW, SHARED_NOW, EXCL_WAIT = 3, 1, 2  # LockFileEx flags
FILE_OPEN, FILE_OPEN_IF = 1, 3


class SmbClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = sharelab.Lab()
        cls.addClassCleanup(cls.lab.stop)
        cls.server = cls.lab.smb_server()

    def setUp(self):
        self.peers = []
        self.addCleanup(lambda: [p.close() for p in self.peers])
        self.name = self.id().rsplit(".", 1)[1] + ".dat"
        self.unc = self.server.unc(SHARE, self.name)

    def tool(self, env=None):
        p = kavtest.FilePeer(env=self.server.env() if env is None else env)
        self.peers.append(p)
        return p

    def impacket(self, server=None, share=SHARE):
        p = smbpeer.SmbPeer(server or self.server, share)
        self.peers.append(p)
        self.assertEqual("ok", p.login)
        return p

    def both_open(self):
        tool, peer = self.tool(), self.impacket()
        self.assertEqual("ok", tool.open(self.unc))
        self.assertEqual("ok", peer.cmd("open %s 0x%x 3 %d" % (self.name, RW, FILE_OPEN)))
        return tool, peer

    def test_a_held_byte_is_refused_both_ways(self):
        tool, peer = self.both_open()
        self.assertEqual("ok", tool.cmd("lock 0 1 %d" % EXCL_NOW))
        self.assertEqual("err 0xC0000055", peer.cmd("lock 0 EXCL now"))
        self.assertEqual("err 0xC0000055", peer.cmd("lock 0 SHARED now"))
        self.assertEqual("ok", peer.cmd("lock 1 SHARED now"))
        self.assertEqual("err 33", tool.cmd("lock 1 1 %d" % EXCL_NOW))
        self.assertEqual("ok", tool.cmd("lock 1 1 %d" % SHARED_NOW))
        self.assertEqual("ok", tool.cmd("unlock 0 1"))
        self.assertEqual("ok", peer.cmd("lock 0 EXCL now"))
        self.assertEqual("err 33", tool.cmd("lock 0 1 %d" % SHARED_NOW))

    def test_a_waiting_lock_of_the_tool_is_granted_when_impacket_releases(self):
        tool, peer = self.both_open()
        self.assertEqual("ok", peer.cmd("lock 0 EXCL now"))
        self.assertEqual("pending", tool.cmd("lock 0 1 %d" % EXCL_WAIT))
        self.assertEqual("err 996", tool.cmd("poll"))  # ERROR_IO_INCOMPLETE: still waiting
        self.assertEqual("ok", peer.cmd("unlock 0"))
        self.assertEqual("ok", tool.cmd("wait", timeout=BOUND))
        self.assertEqual("err 0xC0000055", peer.cmd("lock 0 EXCL now"))  # the grant took the byte

    def test_opens_without_sharing_are_refused_both_ways(self):
        tool, peer = self.tool(), self.impacket()
        self.assertEqual("ok", tool.open(self.unc, share=0))
        self.assertEqual("err 0xC0000043", peer.cmd("open %s 0x%x 7 %d" % (self.name, RW, FILE_OPEN)))
        self.assertEqual("ok", tool.cmd("close"))
        self.assertEqual("ok", peer.cmd("open %s 0x%x 0 %d" % (self.name, RW, FILE_OPEN)))
        self.assertEqual("err 32", tool.open(self.unc, disposition=3))  # OPEN_EXISTING

    def test_delete_is_refused_while_impacket_holds_the_file_without_delete_sharing(self):
        tool, peer = self.tool(), self.impacket()
        self.assertEqual("ok", peer.cmd("open %s 0x%x 3 %d" % (self.name, RW, FILE_OPEN_IF)))
        self.assertEqual("err 32", tool.cmd("delete " + self.unc))
        self.assertIn(self.name, os.listdir(self.server.exports[SHARE]))
        self.assertEqual("ok", peer.cmd("close"))
        self.assertEqual("ok", tool.cmd("delete " + self.unc))
        self.assertNotIn(self.name, os.listdir(self.server.exports[SHARE]))

    def timed(self, what, call):
        started = time.monotonic()
        answer = call()
        self.assertLess(time.monotonic() - started, BOUND, what)
        return answer

    def test_failures_answer_with_their_windows_error_within_a_bound(self):
        env = self.server.env()
        cases = [
            ("wrong password", self.unc, dict(env, KAVPROBE_SMB_PASSWORD=self.server.password + "x"), {"err 1326"}),
            ("unknown share", self.server.unc("nosuch", self.name), env, {"err 67"}),
            ("nothing listening", self.unc, dict(env, KAVPROBE_SMB_PORT=str(sharelab.free_port())),
             {"err 53", "err 1231"}),
        ]
        for what, path, case_env, expected in cases:
            with self.subTest(what):
                tool = self.tool(case_env)
                self.assertIn(self.timed(what, lambda: tool.open(path)), expected)
        with self.subTest("server killed"):
            # A server of its own: the others' stays up.
            server = self.lab.smb_server({SHARE: {}})
            tool = self.tool(server.env())
            self.assertEqual("ok", tool.open(server.unc(SHARE, self.name)))
            self.lab.kill(server)
            self.assertEqual("err 64", self.timed("server killed", lambda: tool.cmd("lock 0 1 %d" % EXCL_NOW)))

    def test_signed_and_encrypted_sessions_work_end_to_end(self):
        # Each row's protection as smbstatus reports the tool's session, alone on its server:
        # signing (HMAC-SHA256 on 2.x, AES-CMAC on 3.x) or a share's encryption (AES-128-GCM
        # on 3.1.1, AES-128-CCM on 3.0); then impacket meets the tool's lock through it.
        rows = [({"server signing": "mandatory"}, {}, "SMB3_11 - AES-128-CMAC"),
                ({"server signing": "mandatory", "server max protocol": "SMB2_02"}, {}, "SMB2_02 - HMAC-SHA256"),
                ({"server signing": "mandatory", "server max protocol": "SMB2_10"}, {}, "SMB2_10 - HMAC-SHA256"),
                ({"server signing": "mandatory", "server max protocol": "SMB3_00"}, {}, "SMB3_00 - AES-128-CMAC"),
                ({}, {"smb encrypt": "required"}, "SMB3_11 partial(AES-128-GCM)"),
                ({"server max protocol": "SMB3_00"}, {"smb encrypt": "required"}, "SMB3_00 partial(AES-128-CCM)")]
        for global_options, share_options, protection in rows:
            with self.subTest(protection):
                server = self.lab.smb_server({SHARE: share_options}, global_options)
                tool = self.tool(server.env())
                self.assertEqual("ok", tool.open(server.unc(SHARE, self.name)))
                self.assertEqual("ok", tool.cmd("lock 0 1 %d" % EXCL_NOW))
                status = subprocess.run(["smbstatus", "-b", "-s", server.conf], stdout=subprocess.PIPE, check=True)
                self.assertIn(protection, " ".join(status.stdout.decode().split()))
                peer = self.impacket(server)
                self.assertEqual("ok", peer.cmd("open %s 0x%x 3 %d" % (self.name, RW, FILE_OPEN)))
                self.assertEqual("err 0xC0000055", peer.cmd("lock 0 EXCL now"))
                self.lab.kill(server)

    def test_the_peers_see_samba_enforce_locks_and_share_modes(self):
        # The yardstick of the cases above, two impacket clients, and the lab's share
        # without locking, where the same refusal is granted.
        for share, refused in ((SHARE, "err 0xC0000055"), ("nolock", "ok")):
            with self.subTest(share=share):
                a, b = self.impacket(share=share), self.impacket(share=share)
                self.assertEqual("ok", a.cmd("open %s 0x%x 3 %d" % (self.name, RW, FILE_OPEN_IF)))
                self.assertEqual("ok", b.cmd("open %s 0x%x 3 %d" % (self.name, RW, FILE_OPEN)))
                self.assertEqual("ok", a.cmd("lock 0 EXCL now"))
                self.assertEqual(refused, b.cmd("lock 0 EXCL now"))
                if share != SHARE:
                    continue
                self.assertEqual("pending", b.cmd("lock 0 EXCL wait"))
                self.assertEqual("ok", a.cmd("unlock 0"))
                self.assertEqual("done 0x00000000", b.wait_done(timeout=BOUND))
                self.assertEqual("err 0xC0000055", a.cmd("lock 0 EXCL now"))
                self.assertEqual(["ok", "ok"], [a.cmd("close"), b.cmd("close")])
                self.assertEqual("ok", a.cmd("open %s 0x%x 0 %d" % (self.name, RW, FILE_OPEN)))
                self.assertEqual("err 0xC0000043", b.cmd("open %s 0x%x 7 %d" % (self.name, RW, FILE_OPEN)))
                self.assertEqual("err 0xC0000043", b.cmd("delete " + self.name))


if __name__ == "__main__":
    sharelab.skip_unless_smb_lab("samba", "accounts", "impacket")
    unittest.main(verbosity=2)
