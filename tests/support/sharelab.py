"""Real file servers on loopback and the clients that mount them, for the share lab
(scripts/share-lab) and the `shares` tests.

A Lab owns a temporary folder; every server and client it starts runs in a session
of its own (smbd signals its whole process group when it stops) and is stopped by
its process group id, every mount is unmounted, and the folder is removed, however
the Lab is left, and so is every account it made for Samba. Servers listen on 127.0.0.1
only, on ports picked free. Needs root (FUSE mounts, smbd's password database, sshd,
accounts)."""
import ctypes
import itertools
import os
import pwd
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import kavtest
import kavuser

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "mutual"))
import pairs  # noqa: E402  (the report reader)

SHARE = "kav"


# What each kind of lab needs besides root.
NEEDS = {
    "mounts": ("smbnetfs", "sshfs", "rclone", "fusermount", "ssh-keygen", "/usr/sbin/sshd", "/dev/fuse"),
    "samba": ("smbd", "smbpasswd"),
    "accounts": ("useradd", "userdel"),
    "impacket": ("/usr/bin/python3",),  # the interpreter of Debian's python3-impacket
}
SYSTEM_PYTHON = NEEDS["impacket"][0]


def missing(*needs):
    """Why a lab with these needs (all by default) cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root (FUSE mounts, smbd, sshd, accounts)"
    for need in needs or NEEDS:
        for prog in NEEDS[need]:
            if prog.startswith("/") and not os.path.exists(prog):
                return "no %s" % prog
            if not prog.startswith("/") and shutil.which(prog) is None:
                return "%s is not installed (scripts/setup installs it)" % prog
        if need == "impacket" and subprocess.run([SYSTEM_PYTHON, "-c", "import impacket"]).returncode:
            return "impacket is not importable by %s (scripts/setup installs python3-impacket)" % SYSTEM_PYTHON
    return None


def skip_unless_smb_lab(*needs):
    """Exits with 77 (skipped) where a test of the tool's own SMB client cannot run."""
    why = "the SMB client is the native build's" if kavtest.IS_WINE else missing(*needs)
    if why:
        print("shares: skipped: " + why)
        sys.exit(77)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def mounted(path):
    """Whether a file system is mounted on path; a dead FUSE client's mount too, which
    os.path.ismount misses (its stat fails)."""
    with open("/proc/self/mounts") as f:
        return any(line.split()[1] == path for line in f)


def _until(predicate, timeout, what, proc=None):
    deadline = time.monotonic() + timeout
    while not predicate():
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s: the process ended with %s" % (what, proc.returncode))
        if time.monotonic() > deadline:
            raise RuntimeError("%s: not ready within %d s" % (what, timeout))
        time.sleep(0.1)


class Server:
    def __init__(self, kind, export, port, proc):
        self.kind = kind      # "samba" or "ssh"
        self.export = export  # the folder the server serves: what the lab checks for leftovers
        self.port = port
        self.proc = proc


class Mount:
    def __init__(self, fs, client, path, mountpoint, proc, server):
        self.fs = fs            # "samba" or "ssh"
        self.client = client    # "smbnetfs", "sshfs", "rclone"
        self.path = path        # the served folder as this client shows it
        self.mountpoint = mountpoint
        self.proc = proc
        self.server = server


class SmbServer(Server):
    """A Samba server for SMB clients: its accounts (user, password), each share's export
    folder, the server's smb.conf, and the address each party reaches it at (127.0.0.1,
    or the server's end of that party's link when the machines are apart)."""

    def __init__(self, port, proc, accounts, exports, conf, hosts=("127.0.0.1",)):
        super().__init__("samba", exports[next(iter(exports))], port, proc)
        self.accounts, self.exports, self.conf, self.hosts = accounts, exports, conf, list(hosts)
        self.user, self.password = accounts[0]
        self.host = self.hosts[0]

    def host_for(self, party):
        """The server's address as party reaches it (on loopback, every party alike)."""
        return self.hosts[party if len(self.hosts) > 1 else 0]

    def unc(self, share, *names, party=0):
        """\\\\host\\share\\name..., host as party sees the server."""
        return "\\".join(["\\\\" + self.host_for(party), share] + list(names))

    def seen_by(self, party, unc):
        """A UNC name of party 0's as another party reaches the same file."""
        head = "\\\\" + self.hosts[0] + "\\"
        assert unc.startswith(head), unc
        return "\\\\" + self.host_for(party) + "\\" + unc[len(head):]

    def folder(self, share, name):
        """A fresh folder of the share, the first account's (every account's when the
        server has several): its UNC path and its local one."""
        local = os.path.join(self.exports[share], name)
        os.mkdir(local)
        st = os.stat(self.exports[share])
        os.chown(local, st.st_uid, st.st_gid)
        if len(self.accounts) > 1:
            os.chmod(local, 0o777)
        return self.unc(share, name), local

    def env(self, base=None, account=0, port=None):
        """The caller's environment (or base) with this server's port (or port, a relay's)
        and one of its accounts, for an SMB client."""
        user, password = self.accounts[account]
        env = dict(os.environ if base is None else base)
        env.pop("KAVPROBE_SMB_AUTHFILE", None)
        env.update(KAVPROBE_SMB_PORT=str(port or self.port), KAVPROBE_SMB_USER=user, KAVPROBE_SMB_PASSWORD=password)
        return env


# The lab's accounts: kavsmb<pid of the lab's process>n<count>, marked as the lab's.
ACCOUNT = re.compile(r"kavsmb(\d+)n\d+")
ACCOUNT_MARK = "kavprobe share lab"
ACCOUNTS_MADE = itertools.count()


def _die_with_parent():
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Lab:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kav-lab-")
        self.procs = []    # started, in order
        self.mounts = []   # mount points, in order
        self.links = []    # symbolic links made outside the root
        self.disks = []    # small file systems of their own, inside an export
        self.accounts = []  # (user, password) of Unix accounts made for Samba
        self.nets = []      # network namespaces and their links (Net)
        self.password = secrets.token_hex(8)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def folder(self, name):
        """A folder of the lab; servers keep theirs under "server-", clients are named by the caller."""
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def _start(self, args, name, env=None, with_lab=False):
        """with_lab: killed with the thread that starts it (the lab's process killed, say)."""
        log = open(os.path.join(self.root, name + ".log"), "ab")
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True, preexec_fn=_die_with_parent if with_lab else None)
        log.close()
        self.procs.append(proc)
        return proc

    # --- servers -------------------------------------------------------------------

    def _smbd(self, name, global_options, shares, accounts, net=None):
        """smbd on a free port of 127.0.0.1 (or, in net, of the server's link addresses),
        with a password database of its own.
        shares: {name: (folder, {option: value})}; accounts: [(user, password)]."""
        d = self.folder(name)
        state = self.folder(name + "/state")
        port = free_port()
        conf = os.path.join(d, "smb.conf")
        options = {"interfaces": " ".join(a + "/24" for a in net.server_hosts) if net else "127.0.0.1",
                   "bind interfaces only": "yes", "smb ports": port,
                   "disable netbios": "yes", "server role": "standalone server", "server min protocol": "SMB2_02",
                   "load printers": "no", "printing": "bsd", "printcap name": "/dev/null", "disable spoolss": "yes",
                   "log file": state + "/log.%m", "passdb backend": "tdbsam:%s/passdb.tdb" % state}
        for key in ("lock directory", "state directory", "cache directory", "private dir", "pid directory",
                    "ncalrpc dir", "binddns dir"):
            options[key] = self.folder(name + "/state/" + key.split()[0])
        options.update(global_options)
        with open(conf, "w") as f:
            for section, (path, extra) in [("global", (None, options))] + list(shares.items()):
                f.write("[%s]\n" % section)
                if path is not None:
                    f.write("  path = %s\n" % path)
                f.write("".join("  %s = %s\n" % kv for kv in extra.items()))
        for user, password in accounts:
            subprocess.run(["smbpasswd", "-c", conf, "-s", "-a", user], check=True, stdout=subprocess.DEVNULL,
                           input=("%s\n%s\n" % (password, password)).encode())
        return port, self._run_smbd(name, conf, port, net)

    def _run_smbd(self, name, conf, port, net=None):
        command = ["smbd", "--foreground", "--no-process-group", "-s", conf, "--debug-stdout"]
        proc = self._start((net.run_in(net.server) if net else []) + command, name, with_lab=True)
        _until(lambda: net.listening(net.server, port) if net else _listening(port), 30, "smbd", proc)
        return proc

    def restart(self, server):
        """A server killed at once (every connection with it) and started again, same
        port and settings."""
        self.kill(server)
        server.proc = self._run_smbd("server-restarted%d" % len(self.procs), server.conf, server.port, server.net)

    def samba(self):
        """Samba for the FUSE clients: root's account, every file root's."""
        export = self.folder("server-samba/export")
        port, proc = self._smbd("server-samba", {"map to guest": "never"},
                                {SHARE: (export, {"read only": "no", "force user": "root"})},
                                [("root", self.password)])
        return Server("samba", export, port, proc)

    def smb_server(self, shares=None, global_options=None, net=None, accounts=1):
        """Samba for the tool's own SMB client and impacket, logged on as the lab's
        accounts (accounts of them), unknown users as guests. shares: {name: {option:
        value}} ("kav", and "nolock" with locking = no, by default), each a folder of its
        own, which every account may write when there are several; global_options: more
        of them; net: a Net whose server namespace it runs in."""
        if shares is None:
            shares = {SHARE: {}, "nolock": {"locking": "no"}}
        made = [self.account(i) for i in range(accounts)]
        name = "server-smb%d" % len(self.procs)
        os.chmod(self.root, 0o711)  # smbd reaches the exports as the account
        os.chmod(self.folder(name), 0o711)
        entry = pwd.getpwnam(made[0][0])
        exports = {}
        for share in shares:
            exports[share] = self.folder("%s/%s" % (name, share))
            os.chown(exports[share], entry.pw_uid, entry.pw_gid)
            if accounts > 1:
                os.chmod(exports[share], 0o777)
        port, proc = self._smbd(name, dict({"map to guest": "bad user"}, **(global_options or {})),
                                {share: (exports[share], dict({"read only": "no"}, **options))
                                 for share, options in shares.items()}, made, net)
        server = SmbServer(port, proc, made, exports, os.path.join(self.root, name, "smb.conf"),
                           net.server_hosts if net else ("127.0.0.1",))
        server.net = net
        return server

    def account(self, n=0):
        """The lab's n-th Unix account for Samba, made once (and those of dead labs removed)."""
        if not self.accounts:
            for entry in pwd.getpwall():
                m = ACCOUNT.fullmatch(entry.pw_name)
                if m and entry.pw_gecos == ACCOUNT_MARK and not os.path.exists("/proc/" + m.group(1)):
                    subprocess.run(["userdel", "--force", entry.pw_name], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        while len(self.accounts) <= n:
            user = "kavsmb%dn%d" % (os.getpid(), next(ACCOUNTS_MADE))
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", "--comment",
                            ACCOUNT_MARK, user], check=True)
            self.accounts.append((user, secrets.token_urlsafe(12)))
        return self.accounts[n]

    # --- machines apart --------------------------------------------------------------

    def apart(self, parties=2):
        """The server and each party in a network namespace of its own (Net), removed
        with the lab; those of dead labs are removed first."""
        remove_stale_nets()
        net = Net(len(self.nets), parties)
        self.nets.append(net)
        net.make()
        return net

    def relay(self, net, port, rtt_ms):
        """delayrelay.py in the server's namespace: rtt_ms of added round trip in front of
        the server's port; its port, its process and where it writes its counts."""
        listen = free_port()
        stats = os.path.join(self.root, "relay%d.stats" % len(self.procs))
        proc = self._start(net.run_in(net.server) + [sys.executable, os.path.join(HERE, "delayrelay.py"),
                                                     "0.0.0.0:%d" % listen, "%s:%d" % (net.server_hosts[0], port),
                                                     str(rtt_ms / 2.0), stats], "relay", with_lab=True)
        _until(lambda: net.listening(net.server, listen), 30, "relay", proc)
        return Relay(listen, proc, stats)

    def sshd(self):
        d = self.folder("server-ssh")
        export = self.folder("server-ssh/export")
        port = free_port()
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(d, key)], check=True)
        shutil.copy(os.path.join(d, "client_key.pub"), os.path.join(d, "authorized_keys"))
        conf = os.path.join(d, "sshd_config")
        with open(conf, "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s/host_key\nPidFile %s/sshd.pid\n"
                    "AuthorizedKeysFile %s/authorized_keys\nStrictModes no\nUsePAM no\n"
                    "PermitRootLogin prohibit-password\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "Subsystem sftp internal-sftp\nLogLevel ERROR\n" % (port, d, d, d))
        os.makedirs("/run/sshd", exist_ok=True)  # sshd's privilege separation folder
        proc = self._start(["/usr/sbin/sshd", "-D", "-e", "-f", conf], "sshd")
        _until(lambda: _listening(port), 30, "sshd", proc)
        server = Server("ssh", export, port, proc)
        server.key = os.path.join(d, "client_key")
        return server

    # --- clients -------------------------------------------------------------------

    def _mounted(self, mountpoint, path, proc, what, timeout=60):
        self.mounts.append(mountpoint)
        _until(lambda: os.path.ismount(mountpoint) and os.path.isdir(path), timeout, what, proc)

    def smbnetfs(self, server, name):
        """One smbnetfs client with a HOME of its own (one machine)."""
        home = self.folder(name + "-home")
        mnt = self.folder(name)
        smb = self.folder(name + "-home/.smb")
        with open(os.path.join(smb, "smb.conf"), "w") as f:
            f.write("[global]\n  client min protocol = SMB2_02\n  disable netbios = yes\n")
        conf = os.path.join(smb, "smbnetfs.conf")
        with open(conf, "w") as f:
            f.write('auth "root" "%s"\nhost 127.0.0.1 visible=true\n' % self.password)
        os.chmod(conf, 0o600)  # smbnetfs ignores auth and host lines otherwise
        env = dict(os.environ, HOME=home)
        proc = self._start(["smbnetfs", mnt, "-f", "-o", "config=" + conf], name, env=env)
        # A port other than 445 is given as part of the host name.
        path = os.path.join(mnt, "127.0.0.1:%d" % server.port, SHARE)
        self._mounted(mnt, path, proc, "smbnetfs " + name)
        return Mount("samba", "smbnetfs", path, mnt, proc, server)

    def sshfs(self, server, name, options=""):
        """options: more mount options, e.g. allow_other,default_permissions for a mount
        other users reach, through the modes the server reports."""
        mnt = self.folder(name)
        opts = ("port=%d,IdentityFile=%s,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes"
                % (server.port, server.key)) + ("," + options if options else "")
        proc = self._start(["sshfs", "-f", "-o", opts, "root@127.0.0.1:" + server.export, mnt], name)
        self._mounted(mnt, mnt, proc, "sshfs " + name)
        return Mount("ssh", "sshfs", mnt, mnt, proc, server)

    def rclone(self, server, name):
        """rclone's SMB client with its write cache: uploads are delayed."""
        d = self.folder(name + "-rclone")
        mnt = self.folder(name)
        obscured = subprocess.run(["rclone", "obscure", self.password], check=True, stdout=subprocess.PIPE)
        env = dict(os.environ, RCLONE_CONFIG_LAB_TYPE="smb", RCLONE_CONFIG_LAB_HOST="127.0.0.1",
                   RCLONE_CONFIG_LAB_PORT=str(server.port), RCLONE_CONFIG_LAB_USER="root",
                   RCLONE_CONFIG_LAB_PASS=obscured.stdout.decode().strip())
        proc = self._start(["rclone", "mount", "lab:" + SHARE, mnt, "--config", os.path.join(d, "rclone.conf"),
                            "--cache-dir", d, "--vfs-cache-mode", "writes"], name, env=env)
        self._mounted(mnt, mnt, proc, "rclone " + name)
        return Mount("samba", "rclone", mnt, mnt, proc, server)

    def wine_unc(self, prefix, mount, server_name="kavsrv"):
        """Maps \\\\server_name\\share in the Wine prefix to the mount; returns the UNC path."""
        unc = os.path.join(prefix, "dosdevices", "unc", server_name)
        os.makedirs(unc, exist_ok=True)
        link = os.path.join(unc, SHARE)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(mount.path, link)
        self.links.append(link)
        return "\\\\%s\\%s" % (server_name, SHARE)

    def small_disk(self, path, size="256k", read_only=False):
        """A file system of its own at path (a folder of an export): one that fills up
        at once, or one that is read-only."""
        os.makedirs(path, exist_ok=True)
        self.disks.append(path)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s%s" % (size, ",ro" if read_only else ""), "kav-lab",
                        path], check=True)
        if not read_only:
            fd = os.open(os.path.join(path, "filler"), os.O_WRONLY | os.O_CREAT)
            try:
                while os.write(fd, b"\0" * 4096) > 0:
                    pass
            except OSError:  # full
                pass
            finally:
                os.close(fd)

    def kill(self, what):
        """A client or a server dies at once, with its process group (smbd's children)."""
        try:
            os.killpg(what.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        what.proc.wait()

    # --- tear-down -----------------------------------------------------------------

    def stop(self):
        # A second signal (timeout(1) sends one to the whole group) must not cut the
        # tear-down short.
        try:
            old = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        except ValueError:  # not the main thread
            old = {}
        try:
            self._stop()
        finally:
            for s, handler in old.items():
                signal.signal(s, handler)

    def _stop(self):
        for proc in list(RUNNING):
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            RUNNING.discard(proc)
        for link in self.links:
            if os.path.islink(link):
                os.unlink(link)
        for mnt in reversed(self.mounts):
            if mounted(mnt):
                subprocess.run(["fusermount", "-u", mnt], stderr=subprocess.DEVNULL)
        for proc in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    continue
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        for disk in self.disks:
            if mounted(disk):
                subprocess.run(["umount", "-l", disk], stderr=subprocess.DEVNULL)
        busy = any(mounted(disk) for disk in self.disks)
        for mnt in reversed(self.mounts):
            if mounted(mnt):  # a client that died leaves its mount behind
                subprocess.run(["fusermount", "-u", "-z", mnt], stderr=subprocess.DEVNULL)
                busy = busy or mounted(mnt)
        if not busy:
            shutil.rmtree(self.root, ignore_errors=True)
        for net in self.nets:
            net.remove()
        for user, _ in self.accounts:
            subprocess.run(["userdel", "--force", user], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs, self.mounts, self.links, self.disks, self.accounts, self.nets = [], [], [], [], [], []


# Namespaces kavlab<pid of the lab's process>n<count><s or party>, links made as
# kvl<pid>n<count>p<party> before they move into them.
NET_NAME = re.compile(r"kavlab(\d+)n\d+[sp]\d*")
LINK_NAME = re.compile(r"kvl(\d+)n\d+[ps]\d+")


def _ip(*args):
    return subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def remove_net(name):
    """A namespace, after whatever still runs in it."""
    for pid in _ip("netns", "pids", name).stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except ProcessLookupError:
            pass
    _ip("netns", "delete", name)


def remove_stale_nets():
    """Namespaces and links of labs whose process is gone (killed before its tear-down)."""
    for line in _ip("netns", "list").stdout.decode().splitlines():
        m = NET_NAME.fullmatch(line.split(" ")[0])
        if m and not os.path.exists("/proc/" + m.group(1)):
            remove_net(m.group(0))
    for m in LINK_NAME.finditer(_ip("-o", "link", "show").stdout.decode()):
        if not os.path.exists("/proc/" + m.group(1)):
            _ip("link", "delete", m.group(0))


def can_make_nets():
    """Why this machine cannot give the lab namespaces of its own, or None."""
    if shutil.which("ip") is None:
        return "ip is not installed (scripts/setup installs iproute2)"
    probe = "kavlab%dn99s" % os.getpid()
    made = _ip("netns", "add", probe)
    _ip("netns", "delete", probe)
    return None if made.returncode == 0 else "no network namespaces here: " + made.stderr.decode().strip()


class Net:
    """The server and each party in a network namespace of its own, party i joined to
    the server by a veth link 10.77.<i+1>.0/24 (server .1, party .2): the addresses live
    only on those links, and no namespace has a route out."""

    def __init__(self, count, parties):
        tag = "kavlab%dn%d" % (os.getpid(), count)
        self.server = tag + "s"
        self.parties = [tag + "p%d" % i for i in range(parties)]
        self.server_hosts = ["10.77.%d.1" % (i + 1) for i in range(parties)]
        self.hosts = ["10.77.%d.2" % (i + 1) for i in range(parties)]
        self.link = "kvl%dn%d" % (os.getpid(), count)

    def make(self):
        for ns in [self.server] + self.parties:
            self._ip("netns", "add", ns)
            self._ip("-n", ns, "link", "set", "lo", "up")
        for i, ns in enumerate(self.parties):
            near, far = "%sp%d" % (self.link, i), "%ss%d" % (self.link, i)
            self._ip("link", "add", near, "type", "veth", "peer", "name", far)
            self._ip("link", "set", near, "netns", ns)
            self._ip("link", "set", far, "netns", self.server)
            self._ip("-n", ns, "link", "set", near, "name", "eth0")
            self._ip("-n", self.server, "link", "set", far, "name", "p%d" % i)
            self._ip("-n", ns, "addr", "add", self.hosts[i] + "/24", "dev", "eth0")
            self._ip("-n", self.server, "addr", "add", self.server_hosts[i] + "/24", "dev", "p%d" % i)
            self._ip("-n", ns, "link", "set", "eth0", "up")
            self._ip("-n", self.server, "link", "set", "p%d" % i, "up")

    @staticmethod
    def _ip(*args):
        done = _ip(*args)
        if done.returncode:
            raise RuntimeError("ip %s: %s" % (" ".join(args), done.stderr.decode().strip()))

    def run_in(self, ns):
        """The command prefix that runs a program in namespace ns."""
        return ["ip", "netns", "exec", ns]

    def listening(self, ns, port):
        out = subprocess.run(self.run_in(ns) + ["ss", "-Hltn", "sport = :%d" % port], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout
        return bool(out.strip())

    def cut(self, party):
        """Party's link goes down: nothing it sends reaches the server any more, no FIN
        included."""
        self._ip("-n", self.parties[party], "link", "set", "eth0", "down")

    def mend(self, party):
        self._ip("-n", self.parties[party], "link", "set", "eth0", "up")

    def netem(self, party, *spec):
        """netem on both ends of party's link (each way), e.g. ("delay", "5ms", "loss",
        "1%"); False where the kernel has no netem."""
        ends = [(self.parties[party], "eth0"), (self.server, "p%d" % party)]
        return all(subprocess.run(self.run_in(ns) + ["tc", "qdisc", "replace", "dev", dev, "root", "netem"]
                                  + list(spec), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
                   for ns, dev in ends)

    def remove(self):
        for ns in self.parties + [self.server]:
            remove_net(ns)


class Relay:
    def __init__(self, port, proc, stats):
        self.port, self.proc, self.stats = port, proc, stats

    def rounds(self):
        """Per connection ended so far: the client's request bursts that followed an answer."""
        try:
            with open(self.stats) as f:
                return [int(line.split()[1]) for line in f if line.startswith("requests ")]
        except FileNotFoundError:
            return []


def tool_files(folder):
    """What the tool left in a served folder: work files, rendezvous files, the sync file."""
    out = []
    for base, dirs, files in os.walk(folder):
        for n in files:
            if n.startswith(".#KAVLOCK") or n.endswith("endwaitfile") or n == "KAVSTOP.stop":
                out.append(os.path.relpath(os.path.join(base, n), folder))
    return sorted(out)


def stop_on_signals():
    """Turns SIGTERM and SIGHUP into SystemExit and SIGINT into KeyboardInterrupt (even
    when started with it ignored, as a background job is), so that a Lab's with-block
    tears down on each of them."""
    def leave(signum, frame):
        raise SystemExit(128 + signum)
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, leave)
    signal.signal(signal.SIGINT, signal.default_int_handler)


# --- running the tool ------------------------------------------------------------


class Build(kavtest.Build):
    """One build of the tool by its preset's name: the native binary, or the .exe through
    the build's wine-run."""

    def __init__(self, name, folder):
        super().__init__(folder, wine=name == "windows")
        self.name = name
        self.extapp = self.tool("extapp")

    def path(self, path):
        """A Linux path, or a UNC path given as it is."""
        return path if path.startswith("\\\\") else super().path(path)


def _check_codes():
    """Report message -> check error code, from the tool's own table and its named codes."""
    base = os.path.join(ROOT, "src", "base")
    with open(os.path.join(base, "report.h"), encoding="utf-8") as f:
        value = {m.group(1): int(m.group(2)) for m in re.finditer(r"^\s*(CHECK_\w+) = (\d+),", f.read(), re.M)}
    with open(os.path.join(base, "report.cpp"), encoding="utf-8") as f:
        return {m.group(2): value[m.group(1)] for m in re.finditer(r'\{(CHECK_\w+), "([^"]+)"\}', f.read())}


CODES = _check_codes()
OS_ERROR = re.compile(r" ERRORCODE=(\d+)")


class Outcome:
    def __init__(self, proc, data, wall):
        self.status = proc.returncode
        self.exit = -1 if kavtest.exit_status(proc.returncode) == 0xFF else proc.returncode
        self.report = data
        self.wall = wall

    def ng(self):
        """{test title: ["code" or "code/system error", ...]} of the NG tests that have no NG
        test inside or error lines of their own (those of nested tests excluded)."""
        out = {}
        root, open_tests = pairs.parse_report(self.report)

        def walk(node):
            inner = [c for c in node.children() if c.result == "NG"]
            for c in inner:
                walk(c)
            codes = []
            lines = node.lines() if not inner else [i for i in node.items if isinstance(i, str)]
            for line in lines:
                text = line[2:] if line.startswith("! ") else line
                m = OS_ERROR.search(text)
                code = CODES.get(text[:m.start()] if m else text)
                if code is not None:
                    codes.append("%d/%s" % (code, m.group(1)) if m else str(code))
            if node.result == "NG" and (codes or not inner):
                out.setdefault(node.title, []).extend(codes)
        walk(root)
        for title in open_tests:
            out.setdefault(title, []).append("unended")
        return out


RUNNING = set()  # runs of the tool not yet finished, ended by Lab.stop on any way out


def as_user(entry):
    """The command prefix that runs a program as the account of pwd entry."""
    return ["setpriv", "--reuid=%d" % entry.pw_uid, "--regid=%d" % entry.pw_gid, "--clear-groups", "--"]


def start_tool(build, args, out, user=None, env=None, prefix=()):
    """user: the account (pwd entry) to run it as, natively; env: its environment;
    prefix: what runs it (a network namespace's ip netns exec)."""
    command = list(prefix) + (as_user(user) if user else []) + build.command(args)
    proc = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                            start_new_session=True, env=env)
    RUNNING.add(proc)
    return proc


def finish_tool(proc, out, started, limit):
    try:
        proc.wait(timeout=max(1, limit - (time.monotonic() - started)))
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    RUNNING.discard(proc)
    wall = time.monotonic() - started
    out.seek(0)
    data = out.read()
    out.close()
    return Outcome(proc, data, wall)


def single(build, folder, timeout=10, limit=300, env=None, shared=None):
    """Mode single with -p folder and -h shared (folder by default), made unless UNC paths."""
    shared = shared or folder
    for f in {folder, shared}:
        if not f.startswith("\\\\"):
            os.makedirs(f, exist_ok=True)
    out = tempfile.TemporaryFile()
    started = time.monotonic()
    proc = start_tool(build, ["-m", "single", "-p", build.path(folder), "-h", build.path(shared), "-t", str(timeout)],
                      out, env=env)
    return finish_tool(proc, out, started, limit)


def double(builds, shared, targets, timeout=10, limit=300, env=None):
    """Mode double, two processes started together: builds[i] with -h shared[i], -p targets[i]."""
    procs = []
    started = time.monotonic()
    for build, h, p in zip(builds, shared, targets):
        for folder in (h, p):
            if not folder.startswith("\\\\"):
                os.makedirs(folder, exist_ok=True)
        out = tempfile.TemporaryFile()
        procs.append((start_tool(build, ["-m", "double", "-p", build.path(p), "-h", build.path(h), "-t",
                                         str(timeout)], out, env=env), out))
    return [finish_tool(proc, out, started, limit) for proc, out in procs]


def userapl(build, folder, folder_arg, app_folder_arg, timeout=10, limit=300, env=None):
    """Mode userapl on folder (the tool's -f in folder_arg, the stand-in's in app_folder_arg)
    with a scripted user: the outcome, the stand-in's unexpected answers ({instruction:
    answer}) and why the user stopped following (None)."""
    def inside(arg):
        unc = build.wine or arg.startswith("\\\\")
        return build.path(arg) + ("\\" if unc else "/") + "target.dat"

    app = kavuser.ExtApp(build.command([], build.extapp), to_path=lambda p: p, env=env)
    RUNNING.add(app.proc)
    out = tempfile.NamedTemporaryFile()
    started = time.monotonic()
    stopped = None
    try:
        proc = start_tool(build, ["-m", "userapl", "-f", inside(folder_arg), "-t", str(timeout)], out, env=env)
        user = kavuser.User(kavuser.Report(proc, out.name), app, inside(app_folder_arg),
                            os.path.join(folder, kavuser.SYNC))
        try:
            user.follow()
        except AssertionError as e:  # the user could not follow: the tool's report says why
            stopped = str(e)
        outcome = finish_tool(proc, out, started, limit)
    finally:
        app.quit()
        RUNNING.discard(app.proc)
    return outcome, user.deviations(), stopped


class Watched:
    """A run of the tool whose report lines are timed as they come, so that a fault can
    be struck at a given line and the waits between lines measured."""

    def __init__(self, build, args, env=None, prefix=(), stop_at=None):
        """stop_at: marks (texts of lines, in turn) at whose last the run is stopped
        (SIGSTOP) by the thread that reads its lines, before it can go much further."""
        self.started = time.monotonic()
        self.proc = start_tool(build, args, subprocess.PIPE, env=env, prefix=prefix)
        self.lines = []  # (seconds since the start, the line's bytes)
        self.ended = False
        self.stop_at, self.stopped_at = list(stop_at or []), None
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in iter(self.proc.stdout.readline, b""):
            if self.stop_at and self.stop_at[0] in line.decode("cp932", "replace"):
                self.stop_at.pop(0)
                if not self.stop_at:
                    self.signal(signal.SIGSTOP)
                    self.stopped_at = time.monotonic() - self.started
            with self.cond:
                self.lines.append((time.monotonic() - self.started, line))
                self.cond.notify_all()
        with self.cond:
            self.ended = True
            self.cond.notify_all()

    def text(self, i):
        return self.lines[i][1].decode("cp932", "replace").rstrip("\r\n")

    def wait_for(self, marks, timeout):
        """Waits for lines holding each of marks in turn; the index of the last one, or
        None when the run ended or timeout passed first."""
        deadline = time.monotonic() + timeout
        i, seen = 0, 0
        with self.cond:
            while seen < len(marks):
                while i < len(self.lines) and seen < len(marks):
                    if marks[seen] in self.text(i):
                        seen += 1
                    i += 1
                if seen == len(marks):
                    break
                left = deadline - time.monotonic()
                if self.ended or left <= 0:
                    return None
                self.cond.wait(left)
            return i - 1

    def signal(self, signum):
        try:
            os.killpg(self.proc.pid, signum)
        except ProcessLookupError:
            pass

    def kill(self):
        self.signal(signal.SIGKILL)

    def wait_stopped(self, timeout):
        """The seconds from the start at which stop_at stopped the run, or None when it
        ended or timeout passed first."""
        with self.cond:
            self.cond.wait_for(lambda: self.stopped_at is not None or self.ended, timeout)
        return self.stopped_at

    def finish(self, limit):
        """The outcome, the run killed once limit seconds have passed since its start;
        .lines keeps the timed lines."""
        try:
            self.proc.wait(timeout=max(1, limit - (time.monotonic() - self.started)))
        except subprocess.TimeoutExpired:
            self.kill()
            self.proc.wait()
        wall = time.monotonic() - self.started
        self.reader.join()
        self.proc.stdout.close()
        RUNNING.discard(self.proc)
        outcome = Outcome(self.proc, b"".join(line for _, line in self.lines), wall)
        outcome.lines = self.lines
        return outcome


LOCK_KIND_END = "テスト 処理種別「バイト範囲のロック処理」が終了しました。"
MUTUAL_BEGIN = "テスト 動作「相互環境確認」を開始します。"
# Moments of the mutual part at which a machine can vanish: the marks (line texts, in
# turn) that its report reaches there.
VANISH_MOMENTS = [
    ("in the rendezvous", [MUTUAL_BEGIN, "同期ファイルをオープンします。", "同期情報を設定します。"]),
    ("inside the lock cases", [MUTUAL_BEGIN, "処理「共有ロック領域へ排他ロックを待機する設定で取得」を開始します。"]),
    ("at the session close", [MUTUAL_BEGIN, "処理種別「ファイル削除処理」を開始します。", "同期終了処理を開始します。"]),
]


def survivor_bound(timeout):
    """How long after the other machine vanished a party may take to end: a wait that
    runs out, then the session close's own wait for the other, and 5 s of clean-up."""
    return 2 * timeout + 5


def partner_waits(outcome):
    """Mode single's waits for its partner thread after the main thread's paired part
    ended (the time from the line before each lock kind's end to that end), in seconds,
    for the lock tests of mode single or of the single part of mode double."""
    waits = []
    for i, (t, line) in enumerate(outcome.lines):
        text = line.decode("cp932", "replace")
        if "動作「相互環境確認」を開始します。" in text:
            break
        if LOCK_KIND_END in text and i:
            waits.append(t - outcome.lines[i - 1][0])
    return waits
