"""The report viewer (viewer/kavprobe-viewer.html) in headless Chromium, driven by
Selenium: for its tests, its benchmark and the guides' screenshot.

Debian's Selenium belongs to the system interpreter, /usr/bin/python3.

usage: /usr/bin/python3 tests/support/kavbrowser.py shot REPORT OUT.png [--lang ja|en]
"""
import argparse
import base64
import os
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGE = os.path.join(ROOT, "viewer", "kavprobe-viewer.html")


class Viewer:
    """One headless Chromium with the viewer page open, in a fresh profile."""

    def __init__(self, width=1280, height=900, page=PAGE):
        self.profile = tempfile.mkdtemp(prefix="kav-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-dev-shm-usage", "--user-data-dir=" + self.profile,
                    "--window-size=%d,%d" % (width, height), "--lang=ja"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
        try:
            self.driver = webdriver.Chrome(service=service, options=options)
        except Exception:
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        self.driver.get("file://" + page)

    def close(self):
        self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def loads(self):
        return int(self.driver.find_element(By.TAG_NAME, "body").get_attribute("data-loads") or 0)

    def wait_shown(self, before, timeout=30):
        """Waits until the page has shown the load that followed `before` loads."""
        WebDriverWait(self.driver, timeout).until(lambda d: self.loads() > before)

    def load(self, *paths):
        """Gives the files to the file input and waits until the page shows them."""
        before = self.loads()
        # The page empties the input after each choice, so that the same file can be chosen again.
        self.driver.find_element(By.ID, "report-files").send_keys("\n".join(os.path.abspath(p) for p in paths))
        self.wait_shown(before)

    def click(self, css):
        """Clicks the first element and waits until the page has shown what that loads."""
        before = self.loads()
        self.driver.find_element(By.CSS_SELECTOR, css).click()
        self.wait_shown(before)

    def drop(self, path):
        """Drops the file on the page as a drag from the desktop would, and waits until it shows."""
        before = self.loads()
        with open(path, "rb") as f:
            data = base64.b64encode(f.read()).decode("ascii")
        self.driver.execute_script(
            "var bytes = Uint8Array.from(atob(arguments[0]), function (c) { return c.charCodeAt(0); });"
            "var dt = new DataTransfer(); dt.items.add(new File([bytes], arguments[1]));"
            "document.querySelector('main').dispatchEvent(new DragEvent('drop', {dataTransfer: dt, bubbles: true}));",
            data, os.path.basename(path))
        self.wait_shown(before)

    def choose(self, index):
        """Picks report `index` of a file that holds several."""
        before = self.loads()
        self.driver.execute_script(
            "var s = document.querySelector('.report-choice'); s.value = arguments[0];"
            "s.dispatchEvent(new Event('change', {bubbles: true}));", str(index))
        self.wait_shown(before)

    def lang(self, lang):
        self.driver.find_element(By.ID, "lang-" + lang).click()

    def shown_ms(self):
        return float(self.driver.find_element(By.TAG_NAME, "body").get_attribute("data-shown-ms"))

    def all(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        """The text of the first element (hidden parts included)."""
        return self.driver.find_element(By.CSS_SELECTOR, css).get_attribute("textContent")

    def console_errors(self):
        return [e for e in self.driver.get_log("browser") if e.get("level") == "SEVERE"]


def main():
    parser = argparse.ArgumentParser(description="Screenshot of the viewer showing one report.")
    sub = parser.add_subparsers(dest="command", required=True)
    shot = sub.add_parser("shot")
    shot.add_argument("report")
    shot.add_argument("out")
    shot.add_argument("--lang", default="en", choices=("ja", "en"))
    args = parser.parse_args()
    with Viewer(width=1100, height=960) as v:
        v.load(args.report)
        v.lang(args.lang)
        if v.console_errors():
            sys.exit("kavbrowser: the page logged errors: %r" % v.console_errors())
        v.driver.save_screenshot(args.out)
    print(args.out)


if __name__ == "__main__":
    main()
