"""The report as the tests read it: its fixed titles and texts, and a reader that
turns a report's bytes into the tree of its tests."""
import re

SINGLE_OPERATION = "動作「単一環境確認」"
MUTUAL_OPERATION = "動作「相互環境確認」"
SHARED_GROUP = "確認対象「KAVRO間共有環境設定パスに対するテスト」"
TARGET_GROUP = "確認対象「確認対象パスに対するテスト」"
OPEN_KIND = "処理種別「ファイルオープン処理」"
READ_WRITE_KIND = "処理種別「ファイル読み書き処理」"
LOCK_KIND = "処理種別「バイト範囲のロック処理」"
DELETE_KIND = "処理種別「ファイル削除処理」"
# The cases of the two-party lock sequence, by number.
CASES = {
    1: "処理「共有ロック開放領域へ排他ロックを待機しない設定で取得」",
    2: "処理「排他ロック開放領域へ排他ロックを待機しない設定で取得」",
    3: "処理「共有ロック領域へ排他ロックを待機しない設定で取得」",
    4: "処理「共有ロック領域へ共有ロックを待機する設定で取得」",
    5: "処理「共有ロック領域へ排他ロックを待機する設定で取得」",
    6: "処理「排他ロック領域へ排他ロックを待機しない設定で取得」",
    7: "処理「排他ロック領域へ共有ロックを待機する設定で取得」",
    8: "処理「排他ロック領域へ排他ロックを待機する設定で取得」",
}
SYNCED = "同期しました。"
# Detail and error lines, at any depth.
DETAIL_INDENT = " " * 8


class Node:
    """One titled test of the report: its detail lines and nested tests in order."""

    def __init__(self, title, depth):
        self.title = title
        self.depth = depth
        self.result = None  # "OK"/"NG" once its end line was read
        self.items = []     # str (detail line, without its eight spaces) or Node

    def children(self, title=None):
        return [i for i in self.items if isinstance(i, Node) and (title is None or i.title == title)]

    def child(self, title):
        found = self.children(title)
        if len(found) != 1:
            raise AssertionError("expected one %r under %r, found %d" % (title, self.title, len(found)))
        return found[0]

    def lines(self):
        """Every detail line of this test and of the tests nested in it."""
        out = []
        for i in self.items:
            out.extend(i.lines() if isinstance(i, Node) else [i])
        return out

    def results(self):
        """(title, result) of this test and of every test nested in it."""
        out = [(self.title, self.result)]
        for c in self.children():
            out.extend(c.results())
        return out


BEGIN = re.compile(r"^( *)テスト (.*)を開始します。$")
END = re.compile(r"^( *)テスト (.*)が終了しました。 \.\.\. \[ (OK|NG) \]$")


def report_lines(data):
    """The report bytes (code page 932, CR LF) as decoded lines, without the empty end."""
    lines = data.decode("cp932").split("\r\n")
    while lines and not lines[-1]:
        lines.pop()
    return lines


def begins(line, title):
    """Whether the line is the begin line of the test with that title, at any depth."""
    m = BEGIN.match(line)
    return bool(m) and m.group(2) == title


def ends(line, title, result=None):
    """Whether the line is the end line of the test with that title (and that result)."""
    m = END.match(line)
    return bool(m) and m.group(2) == title and result in (None, m.group(3))


def parse_report(data):
    """The report bytes (code page 932, CR LF) as a root Node; raises on a broken nesting."""
    root = Node(None, -1)
    stack = [root]
    for raw in data.split(b"\r\n"):
        if not raw:
            continue
        line = raw.decode("cp932")
        m = BEGIN.match(line)
        if m:
            depth = len(m.group(1)) // 2
            if depth != len(stack) - 1:
                raise AssertionError("begin line at a wrong depth: %r" % line)
            node = Node(m.group(2), depth)
            stack[-1].items.append(node)
            stack.append(node)
            continue
        m = END.match(line)
        if m:
            if len(stack) < 2 or stack[-1].title != m.group(2) or len(m.group(1)) // 2 != stack[-1].depth:
                raise AssertionError("end line without its begin line: %r" % line)
            stack.pop().result = m.group(3)
            continue
        if not line.startswith(DETAIL_INDENT):
            raise AssertionError("line of an unknown form: %r" % line)
        stack[-1].items.append(line[len(DETAIL_INDENT):])
    return root, [n.title for n in stack[1:]]


# Failures that the checks report as detail lines of their own, not as error lines.
FAILURE_DETAILS = ("テスト対向スレッドの作成に失敗しました。", "同期処理の初期化に失敗しました。",
                   "イベントオブジェクトの生成に失敗しました。")


def account_problems(data, status):
    """The broken rules of a report that must be a well-formed account of a run that
    ended with exit status status (0, or -1 as 255): nesting, every title closed, the
    operations' results agreeing with the run's, and a reason for every innermost NG (the
    lock tests, aborted by a partner that outlived the timeout, may end NG silently)."""
    try:
        root, left_open = parse_report(data)
    except (AssertionError, UnicodeDecodeError) as e:
        return [str(e)]
    problems = ["title left open: " + t for t in left_open]
    tops = root.children()
    if not tops or any(not t.title.startswith("動作「") for t in tops):
        return problems + ["a test outside the operations, or no operation"]
    # Mode double runs two operations; the run is OK only when both are.
    if all(t.result == "OK" for t in tops) != (status == 0):
        problems.append("the operations' end lines disagree with the exit status %d" % status)

    def has_reason(node, after):
        # A case left by a failed wait has its error line written after its end line.
        return any(line.startswith("! ") or line in FAILURE_DETAILS for line in node.lines()) or \
            (isinstance(after, str) and after.startswith("! "))

    def walk(node, after=None):
        for i, item in enumerate(node.items):
            if isinstance(item, Node):
                walk(item, node.items[i + 1] if i + 1 < len(node.items) else None)
        if node.result == "NG" and node.title != LOCK_KIND and not has_reason(node, after) \
                and not any(c.result == "NG" for c in node.children()):
            problems.append("NG without an error line: " + node.title)

    for top in tops:
        walk(top)
    return problems
