"""The report of mode single as the tool must write it, and the means to compare
a real report with it.

The lines of the rendezvous (sync open, sync points, sync close) come from the
sync layer; in a report each sync point is reduced to one marker "<S>" placed
where the point ended, and the layer's other lines are dropped, so that the
comparison holds the checks' own lines to their exact order and nesting and
counts the sync points."""
import re

from kavreport import CASES as LOCK_CASE
from kavreport import DELETE_KIND as CAT_DELETE
from kavreport import LOCK_KIND as CAT_LOCK
from kavreport import OPEN_KIND as CAT_OPEN
from kavreport import READ_WRITE_KIND as CAT_RW
from kavreport import SHARED_GROUP as GROUP_SHARED
from kavreport import SINGLE_OPERATION as OPERATION
from kavreport import SYNCED as SYNC_DONE
from kavreport import TARGET_GROUP as GROUP_TARGET

SYNC_TEXTS = {
    "同期初期処理を開始します。", "同期ファイルのファイル名を生成します。", "同期ファイルをオープンします。",
    "同期初期処理が成功しました。", "同期終了処理を開始します。", "相手が終了処理を受け付けられるか確認します。",
    "相手の生存状態を確認します。", "終了同期ファイルを作成します。", "リソースの開放処理を実施します。",
    "相手の処理が終了するまで待機します。", "同期終了処理が成功しました。", "相手の処理状況を確認します。",
    "前回同期処理情報を開放します。", "同期前処理を実行します。", "同期処理中情報を設定します。", "同期情報を設定します。",
    "相手が既に同期情報を設定済みです。", "同期情報を再設定します。", "相手の同期情報が設定されるまで待機します。",
    "同期処理中情報を開放します。", "同期後処理を実行します。",
}
SYNC_MARK = "<S>"
DELETED = "ファイルを削除しました。(%s)"

CASE_A = "処理「既存ファイルがない状態での既存ファイルのオープン」"
CASE_B = "処理「既存ファイルがない状態での新規ファイルのオープン」"
CASE_C = "処理「既存ファイルがある状態での新規ファイルのオープン」"
CASE_D = "処理「既存ファイルがある状態での既存ファイルのオープン」"


LOCK_OWN_X = "自ファイルを排他ロックします。"
LOCK_OWN_S = "自ファイルを共有ロックします。"
UNLOCK_OWN = "自ファイルをアンロックします。"
LOCK_PEER_X = "対向ファイルを排他ロックします。"
LOCK_PEER_S = "対向ファイルを共有ロックします。"
UNLOCK_PEER = "対向ファイルをアンロックします。"

MSG = {
    9: "確認対象パスのファイルを開く時にエラーが発生しました。",
    10: "ロックの開放に失敗しました。",
    15: "排他ロックの非待機取得に失敗しました。",
}


def error_line(code, os_error, marker):
    """An error line with its system text replaced by '…' (the texts differ between systems)."""
    text = MSG[code] + (" ERRORCODE=%d(…)" % os_error if os_error else "")
    return ("! " if marker else "") + text


class Report:
    """Builds the expected lines: begin and end lines with their indentation, detail lines."""

    def __init__(self):
        self.lines = []
        self.depth = 0

    def begin(self, title):
        self.lines.append("%sテスト %sを開始します。" % ("  " * self.depth, title))
        self.depth += 1

    def end(self, title, ok):
        self.depth -= 1
        self.lines.append("%sテスト %sが終了しました。 ... [ %s ]" % ("  " * self.depth, title, "OK" if ok else "NG"))

    def info(self, text):
        self.lines.append("        " + text)

    def sync(self, count=1):
        for _ in range(count):
            self.info(SYNC_MARK)


def normalise(raw):
    """Report bytes (code page 932, CR LF) -> list of lines as Report builds them.

    Sync layer lines are reduced to markers; the system text of error lines is
    replaced by '…'."""
    text = raw.decode("cp932")
    assert text.endswith("\r\n"), "the report must end with CR LF"
    lines = []
    for line in text[:-2].split("\r\n"):
        body = line.strip()
        if body in SYNC_TEXTS:
            continue
        if body == SYNC_DONE:
            line = "        " + SYNC_MARK
        line = re.sub(r"(ERRORCODE=-?\d+)\(.*\)$", r"\1(…)", line)
        lines.append(line)
    return lines


class Names:
    """Work-file names of one run: folder, prefix, host name and process id, number."""

    def __init__(self, host_pid):
        self.host_pid = host_pid

    def work(self, folder, number):
        return "%s\\.#KAVLOCK.%s.%d" % (folder, self.host_pid, number)


def find_host_pid(lines):
    for line in lines:
        m = re.search(r"\\\.#KAVLOCK\.(.+)\.(-?\d+)\)$", line)
        if m:
            return m.group(1)
    raise AssertionError("no work-file name in the report")


def find_roles(lines):
    """The main thread's role in the two paired lock tests (its own file's number)."""
    roles = []
    for line in lines:
        m = re.match(r"\s+自プロセスのファイルをオープンします。\(.*\.(\d)\)$", line)
        if m:
            roles.append(int(m.group(1)))
    return roles


def open_test(r, names, folder, target):
    name = names.work(folder, 0)
    opening = "ファイルをオープンします。(%s)" % name
    cases = [CASE_A, CASE_B, CASE_C, CASE_D] if target else [CASE_B]
    for case in cases:
        r.begin(case)
        r.info(opening)
        if case == CASE_A:
            r.info(error_line(9, 2, False))
        if case == CASE_C:
            r.info(error_line(9, 80, False))
        r.end(case, True)
    r.info(DELETED % name)


def read_write_test(r, names, folder):
    name = names.work(folder, 0)
    r.info("ファイルをオープンします。(%s)" % name)
    for title, line in (("処理「ファイルの書き込み」", "ファイルに書き込みます。"),
                        ("処理「ファイルの読み込み」", "ファイルから読み込みます。")):
        r.begin(title)
        r.info(line)
        r.end(title, True)
    r.info(DELETED % name)


def delete_test(r, names, folder):
    name = names.work(folder, 0)
    r.info("ファイルをオープンします。(%s)" % name)
    r.info("ファイルを閉じます。")
    title = "処理「自プロセスが作成済のファイルを削除」"
    r.begin(title)
    r.info(DELETED % name)
    r.end(title, True)


def solo_part(r, names, folder, shared):
    name = names.work(folder, 0)
    r.info("ファイルをオープンします。(%s)" % name)
    steps = [("処理「排他ロックを待機しない設定で取得」", [LOCK_OWN_X, UNLOCK_OWN])]
    if shared:
        steps += [("処理「共有ロックを待機する設定で取得」", [LOCK_OWN_S]), ("処理「共有ロックの開放」", [UNLOCK_OWN])]
    steps += [("処理「排他ロックを待機する設定で取得」", [LOCK_OWN_X]), ("処理「排他ロックの開放」", [UNLOCK_OWN])]
    for title, details in steps:
        r.begin(title)
        for d in details:
            r.info(d)
        r.end(title, True)
    r.info(DELETED % name)


def paired_part(r, names, folder, shared, role, wine):
    """The main thread's view of the paired sequence. Under Wine a waiting lock
    request on a held byte answers 997 and GetOverlappedResult then reports
    success at once without the lock being taken, so the first waiting case
    (5 on the shared-settings path, 8 on the target path) passes its judging and
    fails at the release of the peer file with check error 10 (Wine answers 33
    for a range that is not held); the sequence ends there. Returns whether the
    sequence ran to its end."""
    r.info("同期処理の初期化をします。")
    r.sync()
    r.info("自プロセスのファイルをオープンします。(%s)" % names.work(folder, role))
    r.info("対向プロセスのファイルをオープンします。(%s)" % names.work(folder, role ^ 1))
    r.sync()

    def released(n):
        r.begin(LOCK_CASE[n])
        r.info(LOCK_PEER_X)
        r.info(UNLOCK_PEER)
        r.sync()
        r.end(LOCK_CASE[n], True)

    def refused(n):
        r.begin(LOCK_CASE[n])
        r.sync()
        r.info(LOCK_PEER_X)
        r.info(error_line(15, 33, False))
        r.end(LOCK_CASE[n], True)

    def waiting(n, judge_line, relock, meet_after):
        r.begin(LOCK_CASE[n])
        if n != 8:
            r.sync()
        r.sync()
        r.info(UNLOCK_OWN)
        r.info(judge_line)
        r.sync()
        r.info(UNLOCK_PEER)
        if wine:
            r.info(error_line(10, 33, True))
            r.end(LOCK_CASE[n], False)
            return False
        r.sync()
        if relock:
            r.info(LOCK_OWN_X)
            if meet_after:
                r.sync()
        r.end(LOCK_CASE[n], True)
        return True

    if shared:
        r.info(LOCK_OWN_S)
        r.sync()
        r.info(UNLOCK_OWN)
        r.sync()
        released(1)
    r.info(LOCK_OWN_X)
    r.sync()
    r.info(UNLOCK_OWN)
    r.sync()
    released(2)
    if shared:
        r.info(LOCK_OWN_S)
        refused(3)
        r.begin(LOCK_CASE[4])
        r.sync()
        r.info(LOCK_PEER_S)
        r.info(UNLOCK_PEER)
        r.end(LOCK_CASE[4], True)
        if not waiting(5, LOCK_PEER_X, True, False):
            return False
    else:
        r.info(LOCK_OWN_X)
    refused(6)
    if shared and not waiting(7, LOCK_PEER_S, True, True):
        return False
    return waiting(8, LOCK_PEER_X, False, False)


def single_check(names, shared_folder, target_folder, roles, wine):
    """The whole report of mode single on two folders that behave (natively), or
    on the same folders under Wine."""
    r = Report()
    r.begin(OPERATION)
    r.begin(GROUP_SHARED)
    r.begin(CAT_OPEN)
    open_test(r, names, shared_folder, False)
    r.end(CAT_OPEN, True)
    r.begin(CAT_LOCK)
    solo_part(r, names, shared_folder, True)
    lock_ok = paired_part(r, names, shared_folder, True, roles[0], wine)
    r.end(CAT_LOCK, lock_ok)
    r.end(GROUP_SHARED, lock_ok)
    r.begin(GROUP_TARGET)
    r.begin(CAT_OPEN)
    open_test(r, names, target_folder, True)
    r.end(CAT_OPEN, True)
    r.begin(CAT_RW)
    read_write_test(r, names, target_folder)
    r.end(CAT_RW, True)
    r.begin(CAT_LOCK)
    solo_part(r, names, target_folder, False)
    lock2_ok = paired_part(r, names, target_folder, False, roles[1], wine)
    r.end(CAT_LOCK, lock2_ok)
    r.begin(CAT_DELETE)
    delete_test(r, names, target_folder)
    r.end(CAT_DELETE, True)
    r.end(GROUP_TARGET, lock2_ok)
    r.end(OPERATION, lock_ok and lock2_ok)
    return r.lines


def drop_paired_deletions(lines, names, folders):
    """The two parties of a paired lock test each delete both work files at their
    end, whichever gets there first, so the main thread's report shows the
    deletion lines of file 0 and file 1 (in this order) only for the files it
    deleted itself. Removes those lines after each paired part (folders: the
    folder of each paired part in turn); fails when a removed line is not one of
    them or out of order."""
    kept = []
    part = -1
    in_paired = False
    removed = []
    for line in lines:
        body = line.strip()
        if body == "同期処理の初期化をします。":
            part += 1
            in_paired = True
            removed.append([])
        elif "テスト %sが終了しました。" % CAT_LOCK in line:
            in_paired = False
        elif in_paired and body.startswith("ファイルを削除しました。"):
            removed[part].append(body)
            continue
        kept.append(line)
    for n, got in enumerate(removed):
        wanted = [DELETED % names.work(folders[n], k) for k in (0, 1)]
        assert all(g in wanted for g in got) and got == sorted(got, key=wanted.index) and len(set(got)) == len(got), \
            "unexpected deletion lines after paired part %d: %r" % (n, got)
    return kept
