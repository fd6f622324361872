"""The viewer's embedded texts against their sources: the page carries what
scripts/build-viewer makes of viewer/texts.tsv and docs/errors.*.md, and every
Japanese text in the code has an English gloss there (the check-error messages in
the reference, all others in texts.tsv), and no gloss outlives its text."""
import glob
import importlib.machinery
import importlib.util
import json
import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def load_generator():
    path = os.path.join(ROOT, "scripts", "build-viewer")
    loader = importlib.machinery.SourceFileLoader("build_viewer", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("build_viewer", loader))
    loader.exec_module(module)
    return module


def japanese_literals():
    """{literal without its line end: first file} of every string literal in src/ with Japanese in it."""
    found = {}
    for path in sorted(glob.glob(os.path.join(ROOT, "src", "**", "*.*"), recursive=True)):
        if not path.endswith((".cpp", ".h")):
            continue
        with open(path, encoding="utf-8") as f:
            for m in LITERAL.finditer(f.read()):
                text = m.group(1)
                if any(ord(c) >= 0x3000 for c in text):
                    found.setdefault(text.replace("\\r\\n", ""), os.path.relpath(path, ROOT))
    return found


class ViewerDataTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gen = load_generator()
        cls.current, cls.made = cls.gen.page()
        cls.data = json.loads(cls.gen.BLOCK.search(cls.made).group(2))

    def test_committed_page_is_what_the_generator_makes(self):
        self.assertTrue(self.current == self.made, "viewer/kavprobe-viewer.html is stale: run scripts/build-viewer")

    def test_every_check_error_has_its_gloss_and_explanations(self):
        errors = self.data["errors"]
        self.assertEqual(sorted(int(c) for c in errors), list(range(4, 34)))
        for code, e in errors.items():
            with self.subTest(code=code):
                self.assertTrue(e["gloss"] and "<p>" in e["ja"] and "<p>" in e["en"], e)
                # The reference's sections come through as HTML, not as markdown.
                self.assertNotIn("**", e["ja"] + e["en"])

    def test_every_japanese_text_of_the_code_has_a_gloss_and_no_gloss_is_stale(self):
        literals = japanese_literals()
        self.assertGreater(len(literals), 100)  # the scan found the code's texts at all
        messages = {e["message"] for e in self.data["errors"].values()}
        glossary = self.data["glossary"]
        missing = sorted("%s: %s" % (where, text) for text, where in literals.items()
                         if text not in glossary and text not in messages)
        self.assertEqual(missing, [], "texts without an English gloss in viewer/texts.tsv")
        self.assertEqual(sorted(set(glossary) - set(literals)), [], "glosses of texts the code no longer has")
        self.assertEqual(sorted(messages - set(literals)), [], "reference messages the code does not have")


if __name__ == "__main__":
    unittest.main()
