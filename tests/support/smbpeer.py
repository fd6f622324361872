"""A second SMB client, independent of the tool's own: Debian's python3-impacket (the
system interpreter's), one command per input line, so that a test can interleave its
steps with the tool's. It logs on to \\\\HOST\\SHARE with the tool's variables
(KAVPROBE_SMB_PORT, KAVPROBE_SMB_USER as "user" or "DOMAIN\\user", KAVPROBE_SMB_PASSWORD),
answers "ok" or "err 0x<NTSTATUS>" (0xC000020C: the connection lost), holds one file:
  open NAME ACCESS SHARE DISP      DISP as on the wire (1 open, 3 open-if); no oplock
  lock OFF EXCL|SHARED [now|wait]  one byte; wait: "pending" after the interim response,
                                   later a line "done 0x<NTSTATUS>" (one wait at a time)
  unlock OFF | close | delete NAME | quit
Every exchange is bounded (STEP seconds)."""
import os
import select
import struct
import sys

import kavtest

STEP = 10
DISCONNECTED = 0xC000020C
PENDING = 0x103
LOCK_SHARED, LOCK_EXCLUSIVE, LOCK_UNLOCK, LOCK_FAIL_IMMEDIATELY = 0x1, 0x2, 0x4, 0x10


class SmbPeer(kavtest.LinePeer):
    """The test's side: one peer process, its logon's answer in self.login."""

    def __init__(self, server, share):
        import sharelab
        super().__init__([sharelab.SYSTEM_PYTHON, os.path.abspath(__file__), server.host, share], env=server.env())
        self.done = []  # "done ..." lines read while waiting for another answer
        self.login = self.answer("login")

    def answer(self, line, timeout=60):
        while True:
            text = super().answer(line, timeout)
            if not text.startswith("done "):
                return text
            self.done.append(text)

    def wait_done(self, timeout=60):
        """The waiting lock's final status, as "done 0x..."."""
        return self.done.pop(0) if self.done else super().answer("done", timeout)


# --- the peer process, under the system interpreter ---------------------------------------


class Connection:
    def __init__(self, host, port, share, user, password, domain):
        from impacket.smbconnection import SMBConnection
        self.conn = SMBConnection(host, host, sess_port=port, timeout=STEP)
        self.conn.login(user, password, domain)
        self.smb = self.conn.getSMBServer()  # the SMB 2/3 session under the wrapper
        self.tree = self.conn.connectTree(share)
        self.fid = None
        self.waiting = None  # message id of the waiting lock

    def sock(self):
        return self.smb._NetBIOSSession.get_socket()

    def packet(self, timeout):
        """The next response as (status, flags, message id, bytes), or None in time."""
        if not select.select([self.sock()], [], [], timeout)[0]:
            return None
        data = self.smb._NetBIOSSession.recv_packet(STEP).get_trailer()
        if data[:4] == b"\xfdSMB":  # a transform header: impacket seals with AES-128-CCM
            from Cryptodome.Cipher import AES
            nonce, size = struct.unpack_from("<16sI", data, 20)
            cipher = AES.new(self.smb._Session["DecryptionKey"], AES.MODE_CCM, nonce[:11])
            cipher.update(data[20:52])
            data = cipher.decrypt_and_verify(data[52:52 + size], data[4:20])
        return struct.unpack_from("<8xI4xI4xQ", data) + (data,)

    def keep(self, status, flags, mid, data):
        """A response read here: the waiting lock's end, or what an impacket call is owed."""
        from impacket.smb3structs import SMB2Packet
        if mid == self.waiting and status != PENDING:
            self.waiting = None
            print("done 0x%08X" % status)
        elif mid != self.waiting and status != PENDING:
            self.smb._Connection["OutstandingResponses"][mid] = SMB2Packet(data)

    def pump(self):
        """The waiting lock's end if impacket read it meanwhile, or one response read."""
        got = self.smb._Connection["OutstandingResponses"].pop(self.waiting, None)
        if got is not None:
            self.waiting = None
            print("done 0x%08X" % got["Status"])
        elif (p := self.packet(0)):
            self.keep(*p)

    def lock(self, off, flags, wait=False):
        from impacket.smb3structs import SMB2_LOCK, SMB2Packet
        # impacket's own lock() cannot build its element list on Python 3.
        request = SMB2Packet()
        request["Command"], request["TreeID"] = SMB2_LOCK, self.tree
        request["Data"] = struct.pack("<HHI16sQQII", 48, 1, 0, self.fid, off, 1, flags, 0)
        mid = self.smb.sendSMB(request)
        while (p := self.packet(STEP)) is not None:
            status, async_, got, _ = p
            if got != mid:
                self.keep(*p)
            elif status == PENDING and async_ & 0x2 and wait:  # SMB2_FLAGS_ASYNC_COMMAND
                self.waiting = mid
                return "pending"
            elif status != PENDING:
                return "ok" if status == 0 else "err 0x%08X" % status
        return "err timeout"

    def run(self, verb, *args):
        from impacket.smb3structs import DELETE, FILE_DELETE_ON_CLOSE, FILE_NON_DIRECTORY_FILE, FILE_OPEN
        if verb == "open":
            self.fid = self.smb.create(self.tree, args[0].replace("/", "\\"), int(args[1], 0), int(args[2], 0),
                                       FILE_NON_DIRECTORY_FILE, int(args[3], 0), 0)
        elif verb == "lock":
            wait = args[2:] == ("wait",)
            if wait and self.waiting is not None:
                return "err busy"
            flags = {"EXCL": LOCK_EXCLUSIVE, "SHARED": LOCK_SHARED}[args[1]]
            return self.lock(int(args[0], 0), flags | (0 if wait else LOCK_FAIL_IMMEDIATELY), wait)
        elif verb == "unlock":
            return self.lock(int(args[0], 0), LOCK_UNLOCK)
        elif verb == "close":
            self.smb.close(self.tree, self.fid)
        elif verb == "delete":
            self.smb.close(self.tree, self.smb.create(self.tree, args[0].replace("/", "\\"), DELETE, 7,
                                                      FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, FILE_OPEN, 0))
        else:
            return "err unknown"
        return "ok"


def status_of(error):
    """An impacket error's NTSTATUS (its SMB 1 and SMB 2/3 layers each have a SessionError);
    anything else, its transport's errors too, is the connection's loss."""
    if type(error).__name__ != "SessionError":
        return "err 0x%08X" % DISCONNECTED
    code = getattr(error, "getErrorCode", None) or error.get_error_code
    return "err 0x%08X" % (code() & 0xFFFFFFFF)


def serve(host, share):
    sys.stdout.reconfigure(line_buffering=True)
    domain, _, user = os.environ.get("KAVPROBE_SMB_USER", "").rpartition("\\")
    try:
        c = Connection(host, int(os.environ.get("KAVPROBE_SMB_PORT", "445")), share, user,
                       os.environ.get("KAVPROBE_SMB_PASSWORD", ""), domain)
    except Exception as e:  # noqa: BLE001 (every failure is an answer)
        print(status_of(e))
        return 1
    print("ok")
    pending = b""
    while True:
        if c.waiting is not None:  # between commands, only a waiting lock's end can arrive
            try:
                c.pump()
            except Exception as e:  # noqa: BLE001
                c.waiting = None
                print("done " + status_of(e)[4:])
        while b"\n" not in pending:
            if 0 not in select.select([0] + ([c.sock()] if c.waiting is not None else []), [], [])[0]:
                break
            chunk = os.read(0, 4096)
            if not chunk:
                return 0
            pending += chunk
        if b"\n" not in pending:
            continue
        line, pending = pending.split(b"\n", 1)
        words = line.decode().split()
        if words == ["quit"]:
            return 0
        if words:
            try:
                print(c.run(*words))
            except Exception as e:  # noqa: BLE001
                print(status_of(e))


if __name__ == "__main__":
    sys.exit(serve(sys.argv[1], sys.argv[2]))
