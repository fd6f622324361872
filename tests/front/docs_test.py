"""The user documentation against the built tool and against itself.

The check error table is read from the code (tools/dump_error_table prints it as
the tool holds it, in code page 932), so a message changed in the code, or a code
added, makes this test fail until docs/errors.*.md follow. Links between the
pages must reach a page and a heading.
"""
import os
import re
import subprocess
import unittest

import kavtest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
REFERENCES = {
    "ja": (os.path.join(ROOT, "docs", "errors.ja.md"), "エラー"),
    "en": (os.path.join(ROOT, "docs", "errors.en.md"), "Error"),
}


def error_table():
    """[(code, message)] in stored order, messages decoded from code page 932."""
    out = subprocess.run(kavtest.command(kavtest.tool("dump_error_table"), []), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=120, check=True).stdout
    table = []
    for line in out.decode("ascii").splitlines():
        if not line.strip():
            continue
        code, hex_message = line.split()
        table.append((int(code), bytes.fromhex(hex_message).decode("cp932")))
    return table


def reference_sections(path, word):
    """{code: section text} of a reference: each code has a heading "### <word> <code>"."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    heading = re.compile(r"^### %s (\d+)[ \t]*$" % re.escape(word), re.MULTILINE)
    marks = list(heading.finditer(text))
    sections = {}
    for i, m in enumerate(marks):
        end = marks[i + 1].start() if i + 1 < len(marks) else len(text)
        # A section ends at the next heading of any level.
        body = text[m.end():end]
        stop = re.search(r"^#{1,3} ", body, re.MULTILINE)
        if stop:
            body = body[:stop.start()]
        code = int(m.group(1))
        if code in sections:
            raise AssertionError("%s: code %d has two sections" % (path, code))
        sections[code] = body
    return sections


class ErrorReferenceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.table = error_table()

    def test_table_is_read(self):
        # Thirty codes, 4 to 33, each once; without this a broken dump would let
        # every reference pass.
        codes = [code for code, _ in self.table]
        self.assertEqual(sorted(codes), list(range(4, 34)))

    def test_every_code_is_documented_with_its_exact_message(self):
        for lang, (path, word) in REFERENCES.items():
            sections = reference_sections(path, word)
            with self.subTest(lang=lang):
                self.assertEqual(sorted(sections), sorted(code for code, _ in self.table),
                                 "%s documents other codes than the table holds" % path)
            for code, message in self.table:
                with self.subTest(lang=lang, code=code):
                    quoted = [line[2:].strip() for line in sections.get(code, "").splitlines()
                              if line.startswith("> ")]
                    self.assertIn(message, quoted, "%s: code %d must quote its message as '> %s'"
                                  % (path, code, message))


def slug(heading):
    """The anchor that Markdown renderers give a heading (GitHub's rule)."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"^```.*?^```", "", text, flags=re.MULTILINE | re.DOTALL)
    return {slug(m.group(1)) for m in re.finditer(r"^#{1,6} (.+)$", text, re.MULTILINE)}


class LinkTest(unittest.TestCase):
    def test_relative_links_reach_a_file_and_heading(self):
        docs = os.path.join(ROOT, "docs")
        pages = [os.path.join(docs, n) for n in sorted(os.listdir(docs)) if n.endswith(".md")]
        pages.append(os.path.join(ROOT, "README.md"))
        checked = 0
        for page in pages:
            with open(page, encoding="utf-8") as f:
                text = f.read()
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                if re.match(r"[a-z]+:", target):
                    continue
                name, _, anchor = target.partition("#")
                path = os.path.normpath(os.path.join(os.path.dirname(page), name)) if name else page
                with self.subTest(page=os.path.basename(page), link=target):
                    self.assertTrue(os.path.isfile(path), "no file %s" % path)
                    if anchor:
                        self.assertIn(anchor, anchors(path))
                checked += 1
        self.assertGreater(checked, 20)


if __name__ == "__main__":
    unittest.main()
