"""The release package that scripts/release packs around the built kavprobe.exe.

Runs in the Windows build only, where KAV_EXE is the real executable with its
version resource; the packing itself is quick, the build is not repeated.
"""
import hashlib
import os
import re
import subprocess
import sys
import unittest
import zipfile

import kavtest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RELEASE = os.path.join(ROOT, "scripts", "release")
STAMP = 1765238400  # 2025-12-09 00:00:00 UTC


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(\s*kavprobe\s+VERSION\s+(\d+\.\d+\.\d+)", f.read()).group(1)


def release(exe, out):
    # The time stamp is pinned: by default it follows the HEAD commit, which may move
    # between two runs in a busy repository.
    env = dict(os.environ, SOURCE_DATE_EPOCH="1765238400")
    return subprocess.run([sys.executable, RELEASE, "--exe", exe, "--out", out], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=120, env=env)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class ReadmeVersionTest(unittest.TestCase):
    def test_readme_states_the_project_version(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            self.assertIn("Version **%s**" % project_version(), f.read())


@unittest.skipUnless(kavtest.IS_WINE, "the package holds the Windows executable")
class ReleaseZipTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kavtest.TempDir("kav-release")
        cls.version = project_version()
        cls.folder = "kavprobe-" + cls.version
        cls.runs = []
        for name in ("a", "b"):
            out = os.path.join(cls.tmp.path, name)
            cls.runs.append((release(kavtest.EXE, out), os.path.join(out, cls.folder + ".zip")))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.__exit__(None, None, None)

    def test_zip_holds_exactly_what_it_lists(self):
        done, path = self.runs[0]
        self.assertEqual(done.returncode, 0, done.stderr)
        with zipfile.ZipFile(path) as z:
            names = z.namelist()
            self.assertTrue(all(n.startswith(self.folder + "/") for n in names), names)
            inner = [n[len(self.folder) + 1:] for n in names]
            docs = sorted("docs/" + n for n in os.listdir(os.path.join(ROOT, "docs")) if n.endswith((".md", ".png")))
            self.assertEqual(inner, ["kavprobe.exe", "kavprobe-viewer.html"] + docs + ["SHA256SUMS"])
            self.assertEqual({info.date_time for info in z.infolist()}, {(2025, 12, 9, 0, 0, 0)})
            for required in ("guide.ja.md", "guide.en.md", "errors.ja.md", "errors.en.md",
                             "sample-report.ja.md", "sample-report.en.md"):
                self.assertIn("docs/" + required, inner)

            listed = []
            for line in z.read(self.folder + "/SHA256SUMS").decode("ascii").splitlines():
                digest, name = line.split("  ", 1)
                listed.append(name)
                self.assertEqual(digest, sha256(z.read(self.folder + "/" + name)), name)
            self.assertEqual(listed, inner[:-1])

            with open(kavtest.EXE, "rb") as f:
                self.assertEqual(z.read(self.folder + "/kavprobe.exe"), f.read())
            for name, source in (("docs/guide.ja.md", "docs/guide.ja.md"),
                                 ("kavprobe-viewer.html", "viewer/kavprobe-viewer.html")):
                with open(os.path.join(ROOT, source), "rb") as f:
                    self.assertEqual(z.read(self.folder + "/" + name), f.read())

    def test_checksum_is_printed_and_written_beside_the_zip(self):
        done, path = self.runs[0]
        with open(path, "rb") as f:
            line = "%s  %s" % (sha256(f.read()), os.path.basename(path))
        self.assertEqual(done.stdout.splitlines()[-1], line)
        with open(path + ".sha256", encoding="ascii") as f:
            self.assertEqual(f.read(), line + "\n")

    def test_same_inputs_give_the_same_bytes(self):
        (first, a), (second, b) = self.runs
        self.assertEqual((first.returncode, second.returncode), (0, 0))
        with open(a, "rb") as fa, open(b, "rb") as fb:
            self.assertEqual(fa.read(), fb.read())

    def test_executable_of_another_version_is_refused(self):
        with open(kavtest.EXE, "rb") as f:
            data = f.read()
        key = "FileVersion\0".encode("utf-16-le")
        at = data.find(key)
        self.assertGreater(at, 0, "no version resource in kavprobe.exe")
        old = self.version.encode("utf-16-le")
        value = data.find(old, at)
        self.assertGreater(value, at)
        other = ".".join(str(int(p) + 1) for p in self.version.split(".")).encode("utf-16-le")
        self.assertEqual(len(other), len(old), "the changed version must keep its length")
        stale = os.path.join(self.tmp.path, "stale.exe")
        with open(stale, "wb") as f:
            f.write(data[:value] + other + data[value + len(old):])
        out = os.path.join(self.tmp.path, "stale-out")
        done = release(stale, out)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("FileVersion", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(out, self.folder + ".zip")))


if __name__ == "__main__":
    unittest.main()
