// Mode single from inside: folders that misbehave (through the table of calls),
// early ways out of the tests, and the results of the driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/cleanup_lock.h"
#include "call_faults.h"
#include "single/single.h"
#include "support/testsupport.h"
#include "sync/sync.h"

namespace {

using kavtest::TempDir;

class SingleChecks : public ::testing::Test {
  protected:
    void SetUp() override {
        sync_install();  // as the entry does
        ASSERT_EQ(create_cleanup_lock(), 0);
        log_ = logdir_.file("report.log");
        ASSERT_EQ(open_report_log(log_.c_str()), 0);
        memset(&ctx_, 0, sizeof ctx_);
        ctx_.mode = 1;
        snprintf(ctx_.kavsharepath, sizeof ctx_.kavsharepath, "%s", shared_.path().c_str());
        snprintf(ctx_.targetpath, sizeof ctx_.targetpath, "%s", target_.path().c_str());
        ctx_.timeout = 2;
    }
    void TearDown() override {
        // The report tells what went wrong (code page 932).
        if (HasFailure()) fprintf(stderr, "--- report ---\n%s", kavtest::read_file(log_).c_str());
        sys_calls_reset();
        open_report_log("");
    }

    // The report's lines without their indentation.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::string all = kavtest::read_file(log_);
        size_t start = 0;
        for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = all.substr(start, end - start);
            line.erase(0, line.find_first_not_of(' '));
            out.push_back(line);
        }
        return out;
    }
    bool has(const std::string &line) const {
        for (const std::string &l : lines())
            if (l == line) return true;
        return false;
    }
    bool has_prefix(const std::string &prefix) const {
        for (const std::string &l : lines())
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    // "OK" or "NG" from the end line of a title, "" when it has none.
    std::string result_of(const std::string &title) const {
        const std::string head = "テスト " + title + "が終了しました。 ... [ ";
        for (const std::string &l : lines())
            if (l.compare(0, head.size(), head) == 0) return l.substr(head.size(), 2);
        return "";
    }
    bool began(const std::string &title) const { return has("テスト " + title + "を開始します。"); }
    // The lines between a title's begin line and the next begin or end line.
    std::vector<std::string> lines_in(const std::string &title) const {
        const std::string head = "テスト ";
        const std::vector<std::string> l = lines();
        auto at = std::find(l.begin(), l.end(), head + title + "を開始します。");
        if (at == l.end()) return {};
        auto end = std::find_if(++at, l.end(), [&](const std::string &x) { return x.compare(0, head.size(), head) == 0; });
        return std::vector<std::string>(at, end);
    }
    std::string work(const std::string &folder, int number) const {
        char name[260] = {0};
        make_work_file_name(1, folder.c_str(), number, name);
        return name;
    }
    std::string deleted(const std::string &name) const { return "ファイルを削除しました。(" + name + ")"; }

    TempDir shared_;
    TempDir target_;
    TempDir logdir_;
    std::string log_;
    CheckContext ctx_;
};

const std::string CASE_A = "処理「既存ファイルがない状態での既存ファイルのオープン」";
const std::string CASE_B = "処理「既存ファイルがない状態での新規ファイルのオープン」";
const std::string CASE_C = "処理「既存ファイルがある状態での新規ファイルのオープン」";
const std::string CASE_D = "処理「既存ファイルがある状態での既存ファイルのオープン」";
const char *const LOCK_CASE[9] = {
    "",
    "処理「共有ロック開放領域へ排他ロックを待機しない設定で取得」",
    "処理「排他ロック開放領域へ排他ロックを待機しない設定で取得」",
    "処理「共有ロック領域へ排他ロックを待機しない設定で取得」",
    "処理「共有ロック領域へ共有ロックを待機する設定で取得」",
    "処理「共有ロック領域へ排他ロックを待機する設定で取得」",
    "処理「排他ロック領域へ排他ロックを待機しない設定で取得」",
    "処理「排他ロック領域へ共有ロックを待機する設定で取得」",
    "処理「排他ロック領域へ排他ロックを待機する設定で取得」",
};
const std::string SOLO_S1 = "処理「排他ロックを待機しない設定で取得」";
const std::string SOLO_S2 = "処理「共有ロックを待機する設定で取得」";
const std::string SYNC_INIT = "同期処理の初期化をします。";

// ---- a folder where CREATE_NEW fails, files that cannot be deleted ---------------

TEST_F(SingleChecks, OpenTestEndsAfterAFailedCreateNew) {
    // Target path: case A is the first open, case B's CREATE_NEW the second.
    fail_call<&SysCalls::open_share_file>(2, false, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_EQ(result_of(CASE_A), "OK");
    EXPECT_EQ(result_of(CASE_B), "NG");
    EXPECT_TRUE(has_prefix("! 確認対象パスのファイルを開くことができませんでした。 ERRORCODE=5("));
    EXPECT_FALSE(began(CASE_C));
    EXPECT_FALSE(began(CASE_D));
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));

    // Shared-settings path: case B only, with code 4.
    fail_call<&SysCalls::open_share_file>(1, false, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_test(&ctx_, FOLDER_SHARED), TEST_NG);
    EXPECT_TRUE(has_prefix("! KAVRO間共有環境設定パスのファイルを開くことができませんでした。 ERRORCODE=5("));
    EXPECT_EQ(calls_of<&SysCalls::open_share_file>(), 1);
}

TEST_F(SingleChecks, OpenTestOnALeftoverFileFailsCaseAThenCaseB) {
    const std::string name = work(target_.path(), 0);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(open_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_EQ(result_of(CASE_A), "NG");
    EXPECT_TRUE(has("! 確認対象パスのファイルを開くことができてしまいました。"));
    EXPECT_EQ(result_of(CASE_B), "NG");
    EXPECT_TRUE(has_prefix("! 確認対象パスのファイルを開くことができませんでした。 ERRORCODE=80("));
    EXPECT_FALSE(began(CASE_C));
    // The clean-up deletes the file that was there.
    EXPECT_TRUE(has(deleted(name)));
    EXPECT_FALSE(kavtest::file_exists(name));
}

TEST_F(SingleChecks, DeleteTestOnAFolderThatKeepsItsFiles) {
    fail_call<&SysCalls::delete_work_file>(1, true, ERROR_ACCESS_DENIED, -1);
    fail_call<&SysCalls::delete_file>(1, true, ERROR_ACCESS_DENIED, (BOOL)FALSE);
    EXPECT_EQ(delete_test(&ctx_, FOLDER_TARGET), TEST_NG);
    const std::string name = work(target_.path(), 0);
    EXPECT_EQ(result_of("処理「自プロセスが作成済のファイルを削除」"), "NG");
    EXPECT_TRUE(has_prefix("! 確認対象パスのファイルの削除に失敗しました。 ERRORCODE=5("));
    // The clean-up tried again, silently.
    EXPECT_EQ(calls_of<&SysCalls::delete_file>(), 1);
    EXPECT_FALSE(has(deleted(name)));
    EXPECT_TRUE(kavtest::file_exists(name));
    sys_calls_reset();
    DeleteFileA(name.c_str());
}

TEST_F(SingleChecks, DeleteTestWithoutAWorkFile) {
    fail_call<&SysCalls::open_share_file>(1, false, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    EXPECT_EQ(delete_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_TRUE(has_prefix("! 確認対象パスのファイルを開くことができませんでした。 ERRORCODE=5("));
    EXPECT_FALSE(began("処理「自プロセスが作成済のファイルを削除」"));
}

// ---- lock tests on folders whose locks misbehave --------------------------------

TEST_F(SingleChecks, EveryLockGrantedFailsOnlyTheCasesThatMustBeRefused) {
    grant_every_lock();
    EXPECT_EQ(lock_test(&ctx_, FOLDER_SHARED), TEST_NG);
    for (int n = 1; n <= 8; ++n) EXPECT_EQ(result_of(LOCK_CASE[n]), (n == 3 || n == 6) ? "NG" : "OK") << n;
    EXPECT_TRUE(has("! 既に共有ロック済の箇所に排他ロックが取得できてしまいました。"));
    EXPECT_TRUE(has("! 既に排他ロック済の箇所に排他ロックが取得できてしまいました。"));
    EXPECT_FALSE(kavtest::file_exists(work(shared_.path(), 0)));
    EXPECT_FALSE(kavtest::file_exists(work(shared_.path(), 1)));
}

// Case 6 (as case 3) when the non-waiting request is not refused at once: one queued
// until the timeout counts as the refusal after the timeout's line, one never made does not.
TEST_F(SingleChecks, ANonWaitingLockThatTimesOutIsTheRefusalOneNeverMadeIsNot) {
    const std::string refusal = "排他ロックの非待機取得に失敗しました。 ERRORCODE=";
    const struct {
        decltype(sys_calls.lock_range_timed) lock;
        std::string line;  // the call's own, up to its system text
        bool refused;
    } rows[] = {
        {non_waiting_lock_ends_as<CHECK_TIMEOUT>, "! 処理待機時間がタイムアウト時間を超えました。", true},
        {non_waiting_lock_ends_as<CHECK_NO_MEMORY>, "! メモリ確保処理に失敗しました。 ERRORCODE=8(", false},
    };
    for (const auto &row : rows) {
        log_ = logdir_.file("report" + std::to_string(&row - rows) + ".log");
        ASSERT_EQ(open_report_log(log_.c_str()), 0);
        sys_calls.lock_range_timed = row.lock;
        EXPECT_EQ(lock_test(&ctx_, FOLDER_TARGET), TEST_NG);  // case 2 is not granted either
        EXPECT_EQ(result_of(LOCK_CASE[6]), row.refused ? "OK" : "NG");
        std::vector<std::string> told;
        for (const std::string &l : lines_in(LOCK_CASE[6]))
            if (l.compare(0, 2, "! ") == 0 || l.compare(0, refusal.size(), refusal) == 0) told.push_back(l);
        ASSERT_EQ(told.size(), row.refused ? 2u : 1u);
        EXPECT_EQ(told[0].compare(0, row.line.size(), row.line), 0) << told[0];
        if (row.refused) {
            EXPECT_EQ(told[1].compare(0, refusal.size(), refusal), 0) << told[1];
        }
    }
}

TEST_F(SingleChecks, PendingLockNeverGrantedTimesOutThenTheReleaseFails) {
    never_grant_a_pending_lock();
    EXPECT_EQ(lock_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_EQ(result_of(LOCK_CASE[6]), "OK");
    EXPECT_EQ(result_of(LOCK_CASE[8]), "NG");
    // Within case 8, in this order: the timeout of the judged request, then the
    // release of the peer file, which is not held.
    std::vector<std::string> in_case;
    for (const std::string &l : lines_in(LOCK_CASE[8]))
        if (l.compare(0, 2, "! ") == 0 || l == "対向ファイルをアンロックします。") in_case.push_back(l);
    ASSERT_EQ(in_case.size(), 3u);
    EXPECT_EQ(in_case[0], "! 処理待機時間がタイムアウト時間を超えました。");
    EXPECT_EQ(in_case[1], "対向ファイルをアンロックします。");
    const std::string release_failed = "! ロックの開放に失敗しました。 ERRORCODE=";
    EXPECT_EQ(in_case[2].compare(0, release_failed.size(), release_failed), 0) << in_case[2];
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 1)));
}

TEST_F(SingleChecks, PendingLockNeverGrantedEndsTheSharedPathSequenceAtCaseFive) {
    never_grant_a_pending_lock();
    EXPECT_EQ(lock_test(&ctx_, FOLDER_SHARED), TEST_NG);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(result_of(LOCK_CASE[n]), "OK") << n;
    EXPECT_EQ(result_of(LOCK_CASE[5]), "NG");
    for (int n = 6; n <= 8; ++n) EXPECT_FALSE(began(LOCK_CASE[n])) << n;
    EXPECT_TRUE(has("! 処理待機時間がタイムアウト時間を超えました。"));
}

// ---- early ways out: end lines, clean-up ------------------------------------------

TEST_F(SingleChecks, LockTestEndsBeforeItsPairedPartWhenTheSoloPartCannotBeSetUp) {
    fail_call<&SysCalls::create_waitable_timer>(1, false, ERROR_NOT_ENOUGH_MEMORY, (HANDLE)NULL);
    EXPECT_EQ(lock_test(&ctx_, FOLDER_SHARED), TEST_NG);
    EXPECT_TRUE(has_prefix("! 終了確認用タイマーオブジェクト生成に失敗しました。 ERRORCODE=8("));
    EXPECT_FALSE(began(SOLO_S1));
    EXPECT_FALSE(has(SYNC_INIT));
}

TEST_F(SingleChecks, LockTestEndsWhenTheFirstReleaseFails) {
    fail_call<&SysCalls::unlock_range_timed>(1, false, ERROR_NOT_LOCKED, -1);
    EXPECT_EQ(lock_test(&ctx_, FOLDER_SHARED), TEST_NG);
    EXPECT_EQ(result_of(SOLO_S1), "NG");
    EXPECT_FALSE(began(SOLO_S2));
    EXPECT_FALSE(has(SYNC_INIT));
    EXPECT_TRUE(has(deleted(work(shared_.path(), 0))));
    EXPECT_FALSE(kavtest::file_exists(work(shared_.path(), 0)));
}

TEST_F(SingleChecks, AFailedSyncPointAbortsAndEndsTheCaseInProgressAsItStands) {
    // Target path: calls 7 and 8 are the two parties' sync points inside case 2,
    // after its lock was granted and released.
    fail_call<&SysCalls::sync_point>(7, true, 0, -1);
    EXPECT_EQ(lock_test(&ctx_, FOLDER_TARGET), TEST_ABORTED);
    EXPECT_EQ(result_of(LOCK_CASE[2]), "OK");
    EXPECT_FALSE(began(LOCK_CASE[6]));
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 1)));
}

// The partner thread has ended, but the wait answers as if it were still running.
DWORD WINAPI wait_then_time_out(HANDLE object, DWORD milliseconds) {
    WaitForSingleObject(object, milliseconds);
    return WAIT_TIMEOUT;
}

TEST_F(SingleChecks, APartnerThreadStillRunningAfterTheTimeoutAbortsTheLockTest) {
    sys_calls.wait_for_single_object = wait_then_time_out;
    EXPECT_EQ(lock_test(&ctx_, FOLDER_TARGET), TEST_ABORTED);
}

// The main party's own opening fails; the partner thread goes on waiting in its
// opening handshake, and the main thread's wait for it answers first.
DWORD g_main_thread;
std::string g_master;
bool g_partner_seen;

SyncSession *main_party_cannot_open(int kind, const char *folder, int32_t timeout_sec) {
    if (GetCurrentThreadId() == g_main_thread) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return sync_open(kind, folder, timeout_sec);
}

// Only the main thread's wait for its partner answers a timeout; the timer polls
// and the wait for the straggler at the check's end are real.
DWORD WINAPI time_out_once_the_partner_waits(HANDLE object, DWORD ms) {
    if (ms == 0 || g_partner_seen) return WaitForSingleObject(object, ms);
    for (int i = 0; i < 1000 && !(g_partner_seen = kavtest::file_exists(g_master)); ++i) Sleep(5);
    return WAIT_TIMEOUT;
}

TEST_F(SingleChecks, TheCheckEndsOnlyAfterAPartnerThatOutlivedItsLockTest) {
    char computer[256] = {0};
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameExA(ComputerNamePhysicalDnsFullyQualified, computer, &size));
    g_master = shared_.file(".#KAVLOCK." + std::string(computer) + "." + std::to_string(GetCurrentProcessId()) +
                            ".master");
    g_main_thread = GetCurrentThreadId();
    sys_calls.sync_open = main_party_cannot_open;
    sys_calls.wait_for_single_object = time_out_once_the_partner_waits;
    EXPECT_EQ(single_check(&ctx_), TEST_ABORTED);
    ASSERT_TRUE(g_partner_seen) << "the partner thread never opened its rendezvous file";
    // Gone only when the partner's own handshake has timed out and cleaned up.
    EXPECT_FALSE(kavtest::file_exists(g_master));
    EXPECT_EQ(result_of("処理種別「バイト範囲のロック処理」"), "NG");
}

TEST_F(SingleChecks, LockTestWithoutAPartnerThread) {
    fail_call<&SysCalls::create_thread>(1, false, ERROR_NOT_ENOUGH_MEMORY, (HANDLE)NULL);
    EXPECT_EQ(lock_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_EQ(result_of(SOLO_S1), "OK");
    EXPECT_TRUE(has("テスト対向スレッドの作成に失敗しました。"));
    EXPECT_FALSE(has(SYNC_INIT));
}

TEST_F(SingleChecks, ReadWriteTestSetUpFailures) {
    fail_call<&SysCalls::create_event>(1, false, ERROR_NOT_ENOUGH_MEMORY, (HANDLE)NULL);
    EXPECT_EQ(read_write_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_TRUE(has("イベントオブジェクトの生成に失敗しました。"));
    fail_call<&SysCalls::create_waitable_timer>(1, false, ERROR_NOT_ENOUGH_MEMORY, (HANDLE)NULL);
    EXPECT_EQ(read_write_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_TRUE(has_prefix("! 終了確認用タイマーオブジェクト生成に失敗しました。 ERRORCODE=8("));
    EXPECT_FALSE(began("処理「ファイルの書き込み」"));
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));
}

TEST_F(SingleChecks, ReadWriteTestFlushFailureFailsOnlyTheWritePhase) {
    fail_call<&SysCalls::flush_file_buffers>(1, false, ERROR_ACCESS_DENIED, (BOOL)FALSE);
    EXPECT_EQ(read_write_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_EQ(result_of("処理「ファイルの書き込み」"), "NG");
    EXPECT_TRUE(has_prefix("! ファイルの書き込み処理に失敗しました。 ERRORCODE=5("));
    EXPECT_EQ(result_of("処理「ファイルの読み込み」"), "OK");
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));
}

BOOL WINAPI write_never_completes(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED ov) {
    ov->Internal = (ULONG_PTR)STATUS_PENDING;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

TEST_F(SingleChecks, ReadWriteTestWriteTimeoutStillFlushesAndReads) {
    // A work file left by an earlier run is reused as it is: the read finds its
    // bytes although this run's write never completes.
    const std::string name = work(target_.path(), 0);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abcdefghijk", 11, &written, NULL));
    CloseHandle(h);
    ctx_.timeout = 1;
    sys_calls.write_file = write_never_completes;
    fail_call<&SysCalls::flush_file_buffers>(0, false, 0, (BOOL)FALSE);  // counts only
    EXPECT_EQ(read_write_test(&ctx_, FOLDER_TARGET), TEST_NG);
    EXPECT_EQ(result_of("処理「ファイルの書き込み」"), "NG");
    EXPECT_TRUE(has("! 処理待機時間がタイムアウト時間を超えました。"));
    EXPECT_EQ(calls_of<&SysCalls::flush_file_buffers>(), 1);
    EXPECT_EQ(result_of("処理「ファイルの読み込み」"), "OK");
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));
}

// ---- the driver's results -----------------------------------------------------------

const std::string OPERATION = "動作「単一環境確認」";
const std::string GROUP_SHARED = "確認対象「KAVRO間共有環境設定パスに対するテスト」";
const std::string GROUP_TARGET = "確認対象「確認対象パスに対するテスト」";
const std::string CAT_DELETE = "処理種別「ファイル削除処理」";

TEST_F(SingleChecks, AnAbortOnTheSharedPathWritesNothingOfTheTargetPath) {
    fail_call<&SysCalls::sync_open>(1, true, 0, (SyncSession *)nullptr);
    EXPECT_EQ(single_check(&ctx_), TEST_ABORTED);
    EXPECT_TRUE(has("同期処理の初期化に失敗しました。"));
    EXPECT_EQ(result_of(GROUP_SHARED), "NG");
    EXPECT_FALSE(began(GROUP_TARGET));
    EXPECT_EQ(lines().back(), "テスト " + OPERATION + "が終了しました。 ... [ NG ]");
}

TEST_F(SingleChecks, AnAbortOnTheTargetPathSkipsTheDeleteTest) {
    // Calls 1 and 2 open the sessions of the shared-settings path.
    fail_call<&SysCalls::sync_open>(3, true, 0, (SyncSession *)nullptr);
    EXPECT_EQ(single_check(&ctx_), TEST_ABORTED);
    // Wine's waiting lock on an overlapped handle reports success without taking
    // the lock, so the release after case 5 fails there: the group is NG, not aborted.
    EXPECT_EQ(result_of(GROUP_SHARED), platform_is_wine() ? "NG" : "OK");
    EXPECT_EQ(result_of(GROUP_TARGET), "NG");
    EXPECT_FALSE(began(CAT_DELETE));
    EXPECT_EQ(result_of(OPERATION), "NG");
    EXPECT_FALSE(kavtest::file_exists(work(target_.path(), 0)));
}

TEST_F(SingleChecks, AnNgSkipsNothing) {
    // Every lock granted: NG in both lock tests (on the target path through
    // case 6 alone), and every test still runs.
    grant_every_lock();
    EXPECT_EQ(single_check(&ctx_), TEST_NG);
    EXPECT_EQ(result_of(GROUP_SHARED), "NG");
    const std::vector<std::string> l = lines();
    int ng_cases = 0;
    for (const std::string &line : l)
        if (line.find("ロック領域へ") != std::string::npos && line.find("[ NG ]") != std::string::npos) ++ng_cases;
    EXPECT_EQ(ng_cases, 3);  // cases 3 and 6 on the shared-settings path, case 6 on the target path
    EXPECT_EQ(result_of(CAT_DELETE), "OK");
    EXPECT_EQ(result_of(GROUP_TARGET), "NG");
    EXPECT_EQ(result_of(OPERATION), "NG");
}

TEST_F(SingleChecks, SelectorsOtherThanTheTwoFoldersWriteNothing) {
    EXPECT_EQ(open_test(&ctx_, 3), TEST_NG);
    EXPECT_EQ(lock_test(&ctx_, 0), TEST_NG);
    EXPECT_EQ(paired_lock_test(&ctx_, 3), TEST_NG);
    EXPECT_TRUE(lines().empty());
}

}  // namespace
