"""Helpers for the end-to-end tests that drive the built binaries.

The same test file runs against the native build and against the Windows build
under Wine; ctest passes which one through the environment:
  KAV_EXE        the kavprobe binary (kavprobe or kavprobe.exe)
  KAV_RUNNER     the emulator that runs .exe files (empty natively)
  KAV_TOOLS_DIR  folder of the test helper programs
  KAV_PLATFORM   "native" or "windows"
"""
import os
import selectors
import shutil
import signal
import subprocess
import tempfile
import time

EXE = os.environ.get("KAV_EXE", "")
RUNNER = os.environ.get("KAV_RUNNER", "")
TOOLS_DIR = os.environ.get("KAV_TOOLS_DIR", "")
PLATFORM = os.environ.get("KAV_PLATFORM", "native")
IS_WINE = PLATFORM == "windows"


def tool(name):
    """Path of a helper program built from tests/*/tools/NAME.cpp."""
    return os.path.join(TOOLS_DIR, name + (".exe" if IS_WINE else ""))


def command(exe, args, runner=None):
    runner = RUNNER if runner is None else runner
    cmd = [exe] + list(args)
    if runner:
        cmd = [runner] + cmd
    return cmd


def to_tool_path(path, wine=None):
    """A Linux path as the program under test must be given it.

    Natively the path is used as it is. Under Wine the Z: drive maps the Unix
    root, so /tmp/x becomes Z:\\tmp\\x.
    """
    if not (IS_WINE if wine is None else wine):
        return path
    return "Z:" + path.replace("/", "\\")


class Build:
    """One build folder and how its programs are started: natively, or as .exe files
    through the folder's wine-run, which owns the Wine environment (prefix, locale,
    debug channels) and starts the prefix's server under a lock on the prefix.

    wine: whether it is a build of the windows preset (by default: whether the folder
    has a wine-run); exe: a kavprobe from elsewhere, started as this build's would be."""

    def __init__(self, folder, wine=None, exe=None):
        self.folder = os.path.abspath(folder)
        runner = os.path.join(self.folder, "wine-run")
        self.wine = os.path.exists(runner) if wine is None else wine
        self.runner = runner if self.wine else ""
        self.prefix = os.path.join(self.folder, "wineprefix")
        self.exe = os.path.abspath(exe) if exe else self.program("kavprobe")

    def program(self, name):
        """A program at the top of the build folder."""
        return os.path.join(self.folder, name + (".exe" if self.wine else ""))

    def tool(self, name):
        """A helper program built from tests/*/tools/NAME.cpp."""
        return os.path.join(self.folder, "tools", name + (".exe" if self.wine else ""))

    def path(self, path):
        return to_tool_path(path, self.wine)

    def command(self, args, exe=None):
        return command(exe or self.exe, args, self.runner)

    def env(self, winedebug=None, base=None):
        """The environment to start a program with: the caller's (or base), and under
        Wine the debug channels wine-run gives Wine instead of none (e.g. "+relay")."""
        env = dict(os.environ if base is None else base)
        if self.wine and winedebug:
            env["KAV_WINEDEBUG"] = winedebug
        return env


def run(args, exe=None, timeout=120, env=None, stdin=subprocess.DEVNULL):
    """Runs the program to completion; returns CompletedProcess with bytes."""
    return subprocess.run(command(exe or EXE, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=stdin, timeout=timeout, env=env)


def start(args, exe=None, env=None, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
    """Starts the program without waiting; returns the Popen object."""
    return subprocess.Popen(command(exe or EXE, args), stdout=stdout, stderr=stderr,
                            stdin=subprocess.DEVNULL, env=env, start_new_session=True)


def exit_status(code):
    """The program's -1 as each platform reports it: 255 from a Linux process, 0xFFFFFFFF from Wine
    (which the Unix side also sees as 255)."""
    return code & 0xFF


def sjis(text):
    """A report text as the tool writes it (code page 932)."""
    return text.encode("cp932")


class TempDir:
    """A fresh folder removed with its content on exit."""

    def __init__(self, prefix="kav"):
        self.path = tempfile.mkdtemp(prefix=prefix + "-")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
        return False

    def files(self):
        return sorted(os.listdir(self.path))


def wait_for(predicate, timeout, interval=0.05):
    """Polls predicate until it is true or the timeout passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def is_tool_file(name):
    """A work, rendezvous or sync file of the tool."""
    return name.startswith(".#KAVLOCK") or name.endswith("endwaitfile") or name == "KAVSTOP.stop"


# CreateFileA arguments of the file peer's open by default.
GENERIC_RW = 0xC0000000
SHARE_RW = 0x3
OPEN_ALWAYS = 4
OVERLAPPED_FLAG = 0x40000000


class LinePeer:
    """A helper process that runs one command per input line and answers with lines, each
    read within a bound; in a session of its own."""

    def __init__(self, command, env=None, preexec_fn=os.setsid):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, preexec_fn=preexec_fn, env=env)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.proc.stdout, selectors.EVENT_READ)
        self.buf = b""

    def cmd(self, line, timeout=60):
        self.send(line)
        return self.answer(line, timeout)

    def send(self, line):
        # Paths may carry code-page bytes: each character stands for one byte.
        self.proc.stdin.write((line + "\n").encode("latin-1"))
        self.proc.stdin.flush()

    def answer(self, line, timeout=60):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not self.sel.select(left):
                raise AssertionError("no answer to %r" % line)
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                raise AssertionError("helper ended during %r" % line)
            self.buf += chunk
        answer, self.buf = self.buf.split(b"\n", 1)
        return answer.decode("latin-1").strip()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=60)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=60)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(timeout=60)
        self.sel.close()
        self.proc.stdin.close()
        self.proc.stdout.close()


class FilePeer(LinePeer):
    """The filepeer helper (tests/platform/tools/filepeer.cpp): one file handle of the
    platform layer, local or on a UNC path."""

    def __init__(self, umask=None, env=None):
        def pre():
            os.setsid()
            if umask is not None:
                os.umask(umask)
        super().__init__(command(tool("filepeer"), []), env=env, preexec_fn=pre)

    def open(self, path, access=GENERIC_RW, share=SHARE_RW, disposition=OPEN_ALWAYS, flags=OVERLAPPED_FLAG,
             verb="open"):
        return self.cmd("%s %s 0x%x 0x%x %d 0x%x" % (verb, path if path.startswith("\\\\") else to_tool_path(path),
                                                      access, share, disposition, flags))
