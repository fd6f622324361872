"""The report viewer in headless Chromium on reports that the tool writes here: a
native single run (OK), a single run under Wine (NG: Wine's waiting-lock gap), the
two reports of a native double pair, and bad input made from them.

Needs both builds: KAV_EXE is the native kavprobe, KAV_WINDOWS_DIR the windows
preset's build folder (kavprobe.exe and wine-run)."""
import os
import subprocess
import sys
import unittest

import kavbrowser
from selenium.webdriver.support.ui import WebDriverWait
import kavreport
import kavtest
import pairs

WINDOWS_DIR = os.environ.get("KAV_WINDOWS_DIR", "")


def single_report(build, folder):
    """The console report of mode single on fresh folders under `folder` (relative paths,
    so the same arguments do for Wine)."""
    for name in ("h", "p"):
        os.mkdir(os.path.join(folder, name))
    return subprocess.run(build.command(["-m", "single", "-h", "h", "-p", "p"]), cwd=folder, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=300).stdout


def begin_titles(data):
    lines = (kavreport.BEGIN.match(l.decode("cp932", "replace")) for l in data.split(b"\r\n"))
    return [m.group(2) for m in lines if m]


class ViewerInBrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kavtest.TempDir("kav-viewer")
        d = cls.tmp.path
        cls.files = {}

        def put(name, data):
            cls.files[name] = os.path.join(d, name)
            with open(cls.files[name], "wb") as f:
                f.write(data)
            return data

        shared, target = os.path.join(d, "h"), os.path.join(d, "p")
        os.mkdir(shared)
        os.mkdir(target)
        a = pairs.Party(shared, target, os.path.join(d, "a.log"))
        b = pairs.Party(shared, target, os.path.join(d, "b.log"))
        native = kavtest.Build(os.path.dirname(kavtest.EXE), wine=False, exe=kavtest.EXE)
        for build, name in ((native, "ok"), (kavtest.Build(WINDOWS_DIR, wine=True), "ng")):
            os.mkdir(os.path.join(d, name))
            put(name + ".log", single_report(build, os.path.join(d, name)))
        for p in (a, b):
            p.finish()
            p.reap()
        cls.files.update({"a": a.log, "b": b.log})
        double = cls.read("a")
        # Cut where it falls, mid-line as a full disk may leave it; then a whole run appended.
        cut = put("cut.log", double[:len(double) // 2])
        put("several.log", cut + cls.read("ok.log"))
        put("utf8.log", cls.read("ng.log").decode("cp932").replace("\r\n", "\n").encode("utf-8"))
        put("empty.log", b"")
        put("usage.txt", subprocess.run([kavtest.EXE], stderr=subprocess.PIPE, timeout=60).stderr)
        cls.viewer = kavbrowser.Viewer()

    @classmethod
    def tearDownClass(cls):
        cls.viewer.close()
        cls.tmp.__exit__(None, None, None)

    def tearDown(self):
        self.assertEqual(self.viewer.console_errors(), [])
        self.assertEqual(self.viewer.all('#messages p[data-kind="internal"]'), [])

    @classmethod
    def read(cls, name):
        with open(cls.files[name], "rb") as f:
            return f.read()

    def kinds(self):
        return [m.get_attribute("data-kind") for m in self.viewer.all("#messages p")]

    def test_ok_run_summary_and_closed_tree(self):
        v = self.viewer
        v.drop(self.files["ok.log"])
        self.assertEqual(v.text("#summary h2"), "ok.log")
        card = v.all("#summary .card")[0]
        self.assertEqual((card.get_attribute("data-mode"), card.get_attribute("data-result")), ("single", "OK"))
        rows = v.all("#summary tr.target")
        self.assertEqual([r.get_attribute("data-title") for r in rows],
                         [pairs.SHARED_GROUP, pairs.TARGET_GROUP])
        for r in rows:
            self.assertEqual(r.find_element(kavbrowser.By.CSS_SELECTOR, "td.ng").text, "0")
        nodes = v.all("#tree details.node")
        self.assertEqual([n.get_attribute("data-title") for n in nodes], begin_titles(self.read("ok.log")))
        self.assertEqual({(n.get_attribute("data-result"), n.get_attribute("open")) for n in nodes}, {("OK", None)})

    def test_ng_run_opens_its_failures_and_explains_them_in_both_languages(self):
        v = self.viewer
        v.load(self.files["ng.log"])
        self.assertEqual(v.all("#summary .card")[0].get_attribute("data-result"), "NG")
        nodes = v.all("#tree details.node")
        self.assertEqual([n.get_attribute("data-title") for n in nodes], begin_titles(self.read("ng.log")))
        for n in nodes:  # NG branches open, OK branches closed
            self.assertEqual(n.get_attribute("open") == "true", n.get_attribute("data-result") == "NG")
        links = v.all("#summary .ng-list a")
        self.assertTrue(links)
        for a in links:
            node = v.driver.find_element(kavbrowser.By.ID, a.get_attribute("href").split("#")[1])
            self.assertEqual((node.get_attribute("data-title"), node.get_attribute("data-result")),
                             (a.get_attribute("data-title"), "NG"))
        # Wine refuses the release of a lock that a waiting request was granted: code 10, with "!".
        failed = v.all('#tree .l.err[data-code="10"]')
        self.assertTrue(failed)
        explain = failed[0].find_element(kavbrowser.By.CSS_SELECTOR, "details.explain")
        self.assertEqual(explain.get_attribute("open"), "true")
        ja = explain.find_element(kavbrowser.By.CSS_SELECTOR, ":scope > div.ja")
        en = explain.find_element(kavbrowser.By.CSS_SELECTOR, ":scope > div.en")
        self.assertIn("対処", ja.get_attribute("textContent"))
        self.assertIn("What to try", en.get_attribute("textContent"))
        expected = v.all("#tree .l.exp details.explain")
        self.assertTrue(expected)
        v.driver.execute_script("arguments[0].open = true;", expected[0])  # explained once opened
        WebDriverWait(v.driver, 10).until(lambda d: "対処" in expected[0].get_attribute("textContent"))
        v.lang("en")
        self.assertTrue(en.is_displayed() and not ja.is_displayed())
        # Every title and detail line of the real report shows its English gloss.
        self.assertEqual([l.text for l in v.all("#tree .l") if not l.find_elements(kavbrowser.By.CSS_SELECTOR, ".gloss")], [])
        self.assertEqual([s.text for s in v.all("#tree summary")
                          if s.find_elements(kavbrowser.By.CSS_SELECTOR, ".title") and
                          not s.find_elements(kavbrowser.By.CSS_SELECTOR, ".gloss")], [])
        v.lang("ja")
        self.assertTrue(ja.is_displayed() and not en.is_displayed())

    def test_two_reports_side_by_side(self):
        v = self.viewer
        v.load(self.files["a"], self.files["b"])
        rows = v.all("#pair details.pnode")
        self.assertEqual([r.get_attribute("data-title") for r in rows], begin_titles(self.read("a")))
        self.assertEqual({(r.get_attribute("data-a"), r.get_attribute("data-b")) for r in rows}, {("OK", "OK")})
        self.assertEqual(v.all("#pair .disagree"), [])
        self.assertEqual([c.get_attribute("data-mode") for c in v.all("#summary .card[data-side]")], ["double", "double"])
        # The native run against the Wine run: their lock tests disagree, and only where they differ.
        v.load(self.files["ok.log"], self.files["ng.log"])
        rows = v.all("#pair details.pnode")
        marked = [(r.get_attribute("data-a"), r.get_attribute("data-b")) for r in rows if "disagree" in r.get_attribute("class")]
        differ = [(r.get_attribute("data-a"), r.get_attribute("data-b")) for r in rows
                  if r.get_attribute("data-a") != r.get_attribute("data-b")]
        self.assertTrue(marked)
        self.assertEqual(marked, differ)
        self.assertIn(pairs.LOCK_KIND, [r.get_attribute("data-title") for r in rows if "disagree" in r.get_attribute("class")])
        self.assertEqual(v.all("#summary .disagreements")[0].get_attribute("data-count"), str(len(marked)))

    def test_bad_input_gets_a_message_and_what_could_be_read(self):
        v = self.viewer
        v.load(self.files["cut.log"])
        self.assertEqual(self.kinds(), ["cut"])
        self.assertEqual(v.all("#summary .card")[0].get_attribute("data-result"), "NG")
        self.assertEqual(len(v.all("#tree details.node")), len(begin_titles(self.read("cut.log"))))
        self.assertTrue(v.all("#tree details.unfinished"))
        v.load(self.files["several.log"])  # a cut run, then a whole one appended to the same log
        self.assertIn("several", self.kinds())
        self.assertEqual(v.all("#summary .card")[0].get_attribute("data-result"), "OK")
        v.choose(0)
        self.assertIn("cut", self.kinds())
        v.load(self.files["utf8.log"])
        self.assertEqual(self.kinds(), ["utf8"])
        self.assertEqual([n.get_attribute("data-title") for n in v.all("#tree details.node")],
                         begin_titles(self.read("ng.log")))
        for name, kind in (("empty.log", "empty"), ("usage.txt", "not-report")):
            v.load(self.files[name])
            self.assertEqual(self.kinds(), [kind])
            self.assertEqual(v.all("#tree details") + v.all("#summary .card"), [])


if __name__ == "__main__":
    if not os.path.exists(os.path.join(WINDOWS_DIR, "kavprobe.exe")):
        print("skipped: needs the windows build in %r too" % WINDOWS_DIR)
        sys.exit(77)
    unittest.main()
