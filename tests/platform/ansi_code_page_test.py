"""The ANSI code page follows the locale's character set, as Windows follows its
system code page: a Shift-JIS locale gives code page 932 and its lead bytes, a
UTF-8 or plain locale gives none.

Natively the locale comes from LC_ALL, LC_CTYPE and LANG, whether or not the C
library has that locale installed. Under Wine the wrapper pins LANG=C unless
KAV_WINE_LANG names a locale; Wine takes its code page from that."""
import os
import unittest

import kavtest

CP932_LEADS = "acp 932 leads 81-9f e0-fc"


def probe(env_changes):
    env = dict(os.environ)
    for key in ("LC_ALL", "LC_CTYPE", "LANG", "KAV_WINE_LANG"):
        env.pop(key, None)
    env.update(env_changes)
    result = kavtest.run([], exe=kavtest.tool("acp_probe"), env=env)
    if result.returncode != 0:
        raise AssertionError("acp_probe failed: %r" % result.stderr)
    return result.stdout.decode("ascii").strip()


class AnsiCodePageTest(unittest.TestCase):

    @unittest.skipIf(kavtest.IS_WINE, "natively the layer reads the locale itself")
    def test_native_locale_decides(self):
        cases = [
            ({"LANG": "ja_JP.SJIS"}, CP932_LEADS),
            ({"LANG": "ja_JP.Shift_JIS"}, CP932_LEADS),
            ({"LANG": "ja_JP.CP932@euro"}, CP932_LEADS),
            ({"LANG": "C.UTF-8"}, "acp 65001 leads none"),
            ({"LANG": "ja_JP.UTF-8"}, "acp 65001 leads none"),
            ({"LANG": "C"}, "acp 1252 leads none"),
            ({}, "acp 1252 leads none"),
            # LC_ALL overrides LC_CTYPE, which overrides LANG; empty ones do not count.
            ({"LC_ALL": "C.UTF-8", "LANG": "ja_JP.SJIS"}, "acp 65001 leads none"),
            ({"LC_CTYPE": "ja_JP.SJIS", "LANG": "C.UTF-8"}, CP932_LEADS),
            ({"LC_ALL": "", "LC_CTYPE": "", "LANG": "ja_JP.SJIS"}, CP932_LEADS),
        ]
        for env, expected in cases:
            with self.subTest(env=env):
                self.assertEqual(expected, probe(env))

    @unittest.skipUnless(kavtest.IS_WINE, "Wine's code page comes from the wrapper's locale")
    def test_wine_locale_decides(self):
        self.assertEqual(CP932_LEADS, probe({"KAV_WINE_LANG": "ja_JP.UTF-8"}))
        self.assertEqual("acp 1252 leads none", probe({}))


if __name__ == "__main__":
    unittest.main()
