"""A second SMB client, independent of the tool's own: python3-impacket, driven one line at
a time (SmbPeer) so that a test can interleave its steps with the tool's.

The peer runs under the system interpreter (Debian's impacket is importable only there),
connects to \\\\HOST\\SHARE with the tool's variables (KAVPROBE_SMB_PORT, KAVPROBE_SMB_USER
as "user" or "DOMAIN\\user", KAVPROBE_SMB_PASSWORD; no user: a guest) and answers its first
line with "ok" or "err 0x<NTSTATUS>". It holds one file handle. Commands, one answer each:
  open NAME ACCESS SHARE DISP    CREATE (numbers in C notation; DISP as on the wire: 1 open,
                                 2 create, 3 open-if, 5 overwrite-if); no oplock
  lock OFF EXCL|SHARED [now|wait]  one byte; now: "ok" or "err 0x..."; wait: "pending" after
                                 the server's interim response (or the answer at once when
                                 there is none), then, whenever the final response comes, a
                                 line "done 0x<NTSTATUS>" (one waiting lock at a time)
  unlock OFF | close | delete NAME | quit
NAME is inside the share, either separator. Every exchange is bounded (STEP seconds); the
peer ends on the end of its input. A lost connection answers err 0xC000020C."""
import os
import select
import struct
import sys

import kavtest

STEP = 10  # seconds one exchange with the server may take
DISCONNECTED = 0xC000020C
PENDING = 0x103
LOCK_SHARED, LOCK_EXCLUSIVE, LOCK_UNLOCK, LOCK_FAIL_IMMEDIATELY = 0x1, 0x2, 0x4, 0x10
ASYNC_FLAG = 0x2
LOCK_COMMAND = 10
HERE = os.path.abspath(__file__)


class SmbPeer(kavtest.LinePeer):
    """The test's side: one peer process, its login answer in self.login."""

    def __init__(self, server, share):
        import sharelab
        super().__init__([sharelab.SYSTEM_PYTHON, HERE, server.host, share], env=server.env())
        self.done = []  # "done ..." lines read while waiting for another answer
        self.login = self.answer("login")

    def answer(self, line, timeout=60):
        while True:
            text = super().answer(line, timeout)
            if not text.startswith("done "):
                return text
            self.done.append(text)

    def wait_done(self, timeout=60):
        """The final status of the waiting lock, as "done 0x..."."""
        if not self.done:
            self.done.append(super().answer("done", timeout))
        return self.done.pop(0)


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
        """The next response as (status, flags, message id), or None when none came in time.
        The impacket call in progress gets what is not the waiting lock's."""
        if not select.select([self.sock()], [], [], timeout)[0]:
            return None
        data = self.smb._NetBIOSSession.recv_packet(STEP).get_trailer()
        if data[:4] == b"\xfdSMB":
            data = self.decrypt(data)
        status, flags, mid = struct.unpack_from("<8xI4xI4xQ", data)
        return status, flags, mid, data

    def decrypt(self, data):
        # Transform header: protocol id, signature (the CCM tag), nonce (11 bytes used),
        # original size, reserved, flags, session id; authenticated from the nonce on.
        from Cryptodome.Cipher import AES
        nonce, size = struct.unpack_from("<16sI", data, 20)
        cipher = AES.new(self.smb._Session["DecryptionKey"], AES.MODE_CCM, nonce[:11])
        cipher.update(data[20:52])
        return cipher.decrypt_and_verify(data[52:52 + size], data[4:20])

    def keep(self, status, flags, mid, data):
        """A response read here that the waiting lock or an impacket call is owed."""
        from impacket.smb3structs import SMB2Packet
        if mid == self.waiting:
            if status != PENDING:
                self.waiting = None
                print("done 0x%08X" % status)
        elif status != PENDING:
            self.smb._Connection["OutstandingResponses"][mid] = SMB2Packet(data)

    def pump(self):
        """Reports the waiting lock's end if impacket read it meanwhile, or reads one response."""
        got = self.smb._Connection["OutstandingResponses"].pop(self.waiting, None)
        if got is not None:
            self.waiting = None
            print("done 0x%08X" % got["Status"])
            return
        p = self.packet(0)
        if p:
            self.keep(*p)

    def lock(self, off, flags, interim_answers):
        from impacket.smb3structs import SMB2Packet
        # impacket's own lock() cannot build its element list on Python 3.
        body = struct.pack("<HHI16sQQII", 48, 1, 0, self.fid, off, 1, flags, 0)
        request = SMB2Packet()
        request["Command"] = LOCK_COMMAND
        request["TreeID"] = self.tree
        request["Data"] = body
        mid = self.smb.sendSMB(request)
        while True:
            p = self.packet(STEP)
            if p is None:
                return "err timeout"
            status, flags_, got, _ = p
            if got != mid:
                self.keep(*p)
            elif status == PENDING and flags_ & ASYNC_FLAG and interim_answers:
                self.waiting = mid
                return "pending"
            elif status != PENDING:
                return "ok" if status == 0 else "err 0x%08X" % status

    def run(self, words):
        from impacket.smb3structs import FILE_NON_DIRECTORY_FILE
        verb = words[0]
        if verb == "open":
            name, access, share, disp = words[1], int(words[2], 0), int(words[3], 0), int(words[4], 0)
            self.fid = self.smb.create(self.tree, name.replace("/", "\\"), access, share, FILE_NON_DIRECTORY_FILE,
                                       disp, 0)
        elif verb == "lock":
            mode = words[3] if len(words) > 3 else "now"
            flags = {"EXCL": LOCK_EXCLUSIVE, "SHARED": LOCK_SHARED}[words[2]]
            if self.waiting is not None and mode == "wait":
                return "err busy"
            return self.lock(int(words[1], 0), flags | (LOCK_FAIL_IMMEDIATELY if mode == "now" else 0),
                             mode == "wait")
        elif verb == "unlock":
            return self.lock(int(words[1], 0), LOCK_UNLOCK, False)
        elif verb == "close":
            self.smb.close(self.tree, self.fid)
            self.fid = None
        elif verb == "delete":
            self.delete(words[1])
        else:
            return "err unknown"
        return "ok"

    def delete(self, name):
        from impacket.smb3structs import DELETE, FILE_DELETE_ON_CLOSE, FILE_NON_DIRECTORY_FILE, FILE_OPEN
        fid = self.smb.create(self.tree, name.replace("/", "\\"), DELETE, 7,
                              FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, FILE_OPEN, 0)
        self.smb.close(self.tree, fid)


def status_of(error):
    """An impacket error's NTSTATUS (its SMB and SMB 2/3 layers each have a SessionError
    class of their own); anything else, its transport's errors too, is the connection's loss."""
    if type(error).__name__ != "SessionError":
        return "err 0x%08X" % DISCONNECTED
    code = getattr(error, "getErrorCode", None) or error.get_error_code
    return "err 0x%08X" % (code() & 0xFFFFFFFF)


def serve(host, share):
    sys.stdout.reconfigure(line_buffering=True)
    user = os.environ.get("KAVPROBE_SMB_USER", "")
    domain, _, name = user.rpartition("\\")
    try:
        c = Connection(host, int(os.environ.get("KAVPROBE_SMB_PORT", "445")), share, name,
                       os.environ.get("KAVPROBE_SMB_PASSWORD", ""), domain)
    except Exception as e:  # noqa: BLE001 (every failure is an answer)
        print(status_of(e))
        return 1
    print("ok")
    pending = b""
    while True:
        # Between commands, only a waiting lock's end can arrive.
        if c.waiting is not None:
            try:
                c.pump()
            except Exception as e:  # noqa: BLE001
                c.waiting = None
                print("done " + status_of(e)[4:])
        while b"\n" not in pending:
            ready = select.select([0] + ([c.sock()] if c.waiting is not None else []), [], [])[0]
            if 0 not in ready:
                break
            chunk = os.read(0, 4096)
            if not chunk:
                return 0
            pending += chunk
        if b"\n" not in pending:
            continue
        line, pending = pending.split(b"\n", 1)
        words = line.decode().split()
        if not words:
            continue
        if words[0] == "quit":
            return 0
        try:
            print(c.run(words))
        except Exception as e:  # noqa: BLE001
            print(status_of(e))


if __name__ == "__main__":
    sys.exit(serve(sys.argv[1], sys.argv[2]))
