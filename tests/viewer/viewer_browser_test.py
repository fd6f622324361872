"""The report viewer in headless Chromium on reports that the tool writes here: a
native single run (OK), a single run under Wine (NG: Wine's waiting-lock gap), the
two reports of a native double pair, a run and a pair where an account that cannot
write -p runs the tool (as root, through setpriv), and bad input made from them.

Needs both builds: KAV_EXE is the native kavprobe, KAV_WINDOWS_DIR the windows
preset's build folder (kavprobe.exe and wine-run)."""
import base64
import os
import pwd
import re
import subprocess
import tempfile
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


# Only root can run the tool as another account, one that may not write -p.
AS_ROOT = os.geteuid() == 0
NEEDS_ROOT = unittest.skipUnless(AS_ROOT, "runs the tool as nobody, which needs root")


def as_nobody(command):
    """The command run as the account nobody, which may not create files in a folder of root's."""
    gid = pwd.getpwnam("nobody").pw_gid
    return ["setpriv", "--reuid=nobody", "--regid=%d" % gid, "--clear-groups"] + command


def no_write_reports(folder):
    """A single run, then a double pair (A as root, B as nobody), on a -p that nobody cannot write."""
    os.chmod(folder, 0o755)
    reports = []
    for parties in ((as_nobody,), (list, as_nobody)):
        run = tempfile.mkdtemp(dir=folder)
        os.chmod(run, 0o755)
        os.mkdir(os.path.join(run, "h"), 0o777)
        os.chmod(os.path.join(run, "h"), 0o777)  # past the umask: both accounts meet there
        os.mkdir(os.path.join(run, "p"), 0o755)
        args = ["-m", "double" if len(parties) == 2 else "single", "-h", "h", "-p", "p", "-t", "10"]
        procs = [subprocess.Popen(wrap(kavtest.command(kavtest.EXE, args)), cwd=run, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL) for wrap in parties]
        reports.extend(p.communicate(timeout=300)[0] for p in procs)
    return reports


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
        put("startup.txt", subprocess.run([kavtest.EXE, "-m", "single", "-h", os.path.join(d, "none"), "-p", d],
                                          stderr=subprocess.PIPE, timeout=60).stderr)
        if AS_ROOT:
            nop, nop_a, nop_b = no_write_reports(d)
            put("nop.log", nop)
            put("nop-a.log", nop_a)
            put("nop-b.log", nop_b)
            # Pasted into a ticket: every line's leading spaces lost.
            put("flat.log", b"\r\n".join(l.lstrip(b" ") for l in nop.split(b"\r\n")))
        cls.viewer = kavbrowser.Viewer()

    @classmethod
    def tearDownClass(cls):
        cls.viewer.close()
        cls.tmp.__exit__(None, None, None)

    def tearDown(self):
        self.assertEqual(self.viewer.console_errors(), [])
        self.assertEqual(self.viewer.all('#messages p[data-kind="internal"]'), [])
        # One self-contained file: nothing fetched, not even a failed request.
        self.assertEqual(self.viewer.driver.execute_script("return performance.getEntriesByType('resource').length"), 0)

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
        # Wine refuses the release of a lock that a waiting request was granted: code 10 with a lock
        # violation, explained once at the top with the cause of 33 marked, in the tree only when opened.
        failed = v.all('#tree .l.err[data-code="10"]')
        self.assertTrue(failed)
        group = v.all('#fix .group[data-code="10"]')[0]
        self.assertEqual(group.get_attribute("data-matched"), "1")
        self.assertIn("ERRORCODE=33", group.find_element(kavbrowser.By.CSS_SELECTOR, ".cause").get_attribute("textContent"))
        self.assertEqual(len(v.all('#summary details.explain[data-code="10"]')), 1)
        self.assertIn("ERROR_LOCK_VIOLATION", failed[0].text)
        explain = failed[0].find_element(kavbrowser.By.CSS_SELECTOR, "details.explain")
        self.assertIsNone(explain.get_attribute("open"))
        expected = v.all("#tree .l.exp")
        self.assertTrue(expected)
        for line in (failed[0], expected[0]):
            d = line.find_element(kavbrowser.By.CSS_SELECTOR, "details.explain")
            v.driver.execute_script("arguments[0].open = true;", d)
            WebDriverWait(v.driver, 10).until(lambda _: "対処" in d.get_attribute("textContent"))
        ja = explain.find_element(kavbrowser.By.CSS_SELECTOR, ":scope > div.ja")
        en = explain.find_element(kavbrowser.By.CSS_SELECTOR, ":scope > div.en")
        self.assertIn("What to try", en.get_attribute("textContent"))
        self.assertTrue(explain.find_elements(kavbrowser.By.CSS_SELECTOR, "li.match"))
        label = [expected[0].find_element(kavbrowser.By.CSS_SELECTOR, ".xfail ." + lang).get_attribute("textContent")
                 for lang in ("ja", "en")]
        self.assertEqual(label, ["想定どおりの失敗 (正常)", "expected failure (normal)"])
        v.lang("en")
        self.assertTrue(en.is_displayed() and not ja.is_displayed())
        # Japanese left in English mode is marked as such, for screen readers and fonts.
        self.assertEqual(v.driver.execute_script(
            "var out = [], w = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);"
            "while (w.nextNode()) { var n = w.currentNode, e = n.parentElement;"
            "  if (/[\u3040-\u30ff\u4e00-\u9fff]/.test(n.data) && e.closest('#summary, #messages, #tree, header') &&"
            "      e.offsetParent !== null && !e.closest('[lang=ja]')) out.push(n.data); }"
            "return out;"), [])
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
        self.assert_divergences_are_leaves()

    def assert_divergences_are_leaves(self):
        """Listed divergences hold no other, and every NG link lands on the row of that very test."""
        v = self.viewer
        keys = [a.get_attribute("data-key") for a in v.all("#summary .disagreements li.diverge a[data-key]")]
        self.assertTrue(keys)
        self.assertEqual([k for k in keys if any(o.startswith(k + "/") for o in keys)], [])
        for card in v.all("#summary .card[data-side]"):
            for a in card.find_elements(kavbrowser.By.CSS_SELECTOR, ".ng-list a"):
                row = v.driver.find_element(kavbrowser.By.ID, a.get_attribute("href").split("#")[1])
                self.assertEqual((row.get_attribute("data-key"), row.get_attribute("data-" + card.get_attribute("data-side").lower())),
                                 (a.get_attribute("data-key"), "NG"))

    @NEEDS_ROOT
    def test_a_run_that_cannot_write_p_as_one_cause_also_pasted_flat(self):
        v = self.viewer
        for name in ("nop.log", "flat.log"):
            v.load(self.files[name])
            self.assertEqual(self.kinds(), ["flat"] if name == "flat.log" else [])
            self.assertEqual([n.get_attribute("data-title") for n in v.all("#tree details.node")],
                             begin_titles(self.read("nop.log")))
            groups = v.all("#fix .group")
            self.assertEqual([(g.get_attribute("data-code"), g.get_attribute("data-tests"), g.get_attribute("data-notrun"),
                               g.get_attribute("data-matched")) for g in groups], [("5", "4", "11", "1")])
            for a in groups[0].find_elements(kavbrowser.By.CSS_SELECTOR, "ul.tests a"):  # tied to the failing lines
                self.assertIn("err", v.driver.find_element(kavbrowser.By.ID, a.get_attribute("href").split("#")[1]).get_attribute("class"))
            self.assertEqual(v.driver.title.split(" — ")[0], name + " NG")
            row = v.all('#summary tr.target[data-title="%s"]' % pairs.TARGET_GROUP)[0]
            self.assertEqual([row.find_element(kavbrowser.By.CSS_SELECTOR, "td." + c).text for c in ("ok", "ng", "notrun", "total")],
                             ["1", "5", "11", "17"])
        self.assertEqual(v.driver.switch_to.active_element.get_attribute("id"), "summary")
        # Another code named in the explanation opens in place.
        v.driver.execute_script("arguments[0].open = true;", v.all("#fix details.explain")[0])
        v.lang("ja")
        v.all('#fix .ja button.xref[data-code="7"]')[0].click()
        self.assertIn("エラー", v.text('#fix .xref-body[data-code="7"]'))
        text = v.driver.find_element(kavbrowser.By.ID, "summary-text").get_attribute("value")
        self.assertIn("ERRORCODE=5 ERROR_ACCESS_DENIED", text)
        self.assertIn("未実行 11 / 17", text)

    @NEEDS_ROOT
    def test_pair_where_one_machine_cannot_write_p(self):
        v = self.viewer
        v.load(self.files["nop-a.log"], self.files["nop-b.log"])
        groups = v.all("#fix .group")
        self.assertEqual([(g.get_attribute("data-side"), g.get_attribute("data-code")) for g in groups], [("B", "5")])
        sides = sorted(c.get_attribute("data-side") for c in groups[0].find_elements(kavbrowser.By.CSS_SELECTOR, "li.consequence"))
        self.assertEqual(sides, ["A", "B"])  # A met a peer that had ended; B's own next meeting timed out
        # A's failure in the pair view links to B's cause.
        links = v.all('#pair .l.err .cause-link')
        self.assertTrue(links)
        self.assertEqual({a.get_attribute("href").split("#")[1] for a in links}, {groups[0].get_attribute("id")})
        folds = v.all("#summary .disagreements li.fold")
        self.assertIn(("B", "11"), [(f.get_attribute("data-side"), f.get_attribute("data-count")) for f in folds])
        self.assertEqual([c.text for c in v.all(".sides code[data-field=p]")], ["p", "p"])
        self.assertEqual(v.all(".sides code.differs[data-field=p]"), [])
        self.assert_divergences_are_leaves()

    @NEEDS_ROOT
    def test_appended_runs_reload_and_compare(self):
        v = self.viewer
        grow = os.path.join(self.tmp.path, "grow.log")
        with open(grow, "wb") as f:
            f.write(self.read("nop.log"))
        v.load(grow)
        with open(grow, "ab") as f:
            f.write(b"2026/12/10 09:30 ----\r\n" + self.read("ok.log"))
        v.click("#reload")
        if self.kinds() == ["choose-again"]:  # Chromium refuses a chosen file once it changed
            v.load(grow)  # the same file chosen again
        runs = v.all("#choices tr[data-run]")
        self.assertEqual([r.find_elements(kavbrowser.By.TAG_NAME, "td")[1].text for r in runs], ["", "2026-12-10 09:30"])
        self.assertEqual(v.all("#summary .card")[0].get_attribute("data-result"), "OK")
        v.all(".run-compare")[0].click()
        v.click(".run-compare[data-run='1']")
        self.assertEqual([c.get_attribute("data-result") for c in v.all("#summary .card[data-side]")], ["NG", "OK"])

    @NEEDS_ROOT
    def test_print_media(self):
        v = self.viewer
        v.load(self.files["nop-a.log"], self.files["nop-b.log"])
        v.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
        try:
            style = lambda css, prop: v.driver.execute_script(
                "return getComputedStyle(document.querySelector(arguments[0]))[arguments[1]];", css, prop)
            self.assertEqual(style("header", "display"), "none")
            self.assertEqual((style(".res.NG", "color"), style(".res.NG", "borderTopWidth")), ("rgb(0, 0, 0)", "2px"))
            self.assertNotEqual(style(".res.OK", "borderTopStyle"), "none")
            pdf = base64.b64decode(v.driver.execute_cdp_cmd("Page.printToPDF", {"printBackground": False})["data"])
            pages = len(re.findall(rb"/Type\s*/Page[^s]", pdf))
        finally:
            v.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": ""})
        self.assertLessEqual(pages, 6)

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
        for name, kind in (("empty.log", "empty"), ("usage.txt", "usage"), ("startup.txt", "startup")):
            v.load(self.files[name])
            self.assertEqual(self.kinds(), [kind])
            self.assertEqual(v.all("#tree details") + v.all("#summary .card"), [])


if __name__ == "__main__":
    if not os.path.exists(os.path.join(WINDOWS_DIR, "kavprobe.exe")):
        print("skipped: needs the windows build in %r too" % WINDOWS_DIR)
        sys.exit(77)
    unittest.main()
