// Mode userapl: the tool and an external application, driven by the user, create
// and open the target file in turn; after each request to the user the check waits
// until the user deletes the sync file.
#include "base/cleanup_lock.h"
#include "fsprim/calls.h"
#include "userapl/userapl.h"

namespace {

const char kCase1[] = "処理「コマンドが作成したファイルに対する外部アプリケーションのオープン」";
const char kCase2[] = "処理「外部アプリケーションが作成したファイルに対するコマンドの読み取り権限オープン」";
const char kCase3[] = "処理「外部アプリケーションが作成したファイルに対するコマンドの読み書き権限オープン」";
const char kCase4[] = "処理「コマンドが共有しない設定でオープン中のファイルに対する外部アプリケーションのオープン」";
const char kCase5[] = "処理「外部アプリケーションがオープン済のファイルに対するコマンドの共有しない設定でのオープン」";

const char kWithinTimeout[] = "タイムアウト時間(-t)を指定している場合、指定時間内で作成してください。";
const char kOpenTestBegins[] = "確認対象ファイルのオープンテストを開始します。";
const char kOpenTestEnds[] = "確認対象ファイルのオープンテストを終了します。";
const char kClosing[] = "確認対象ファイルを閉じます。";

// One case: its begin line now, its end line with its result and the release of
// its handle however it is left. result is 1 (NG) or -1 (abandoned: a wait failed).
struct Case {
    const char *title;
    TestResult result;
    HANDLE file;

    explicit Case(const char *t) : title(t), result(TEST_OK), file(INVALID_HANDLE_VALUE) { report_begin(title); }
    ~Case() {
        if (file != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(&file);
        report_end(title, result);
    }
    Case(const Case &) = delete;
    Case &operator=(const Case &) = delete;
};

void delete_target(const char *target) {
    if (sys_calls.delete_work_file(target) == 0) report_infof("確認対象ファイルを削除しました。(%s)", target);
}

// The open test of a file the user created: open it with the access ("読み取り",
// "読み書き") and sharing given, judge, close. Returns the case's result.
TestResult open_user_file(Case *c, const char *target, const char *access_name, DWORD access, DWORD share,
                          CheckError *error) {
    report_info(kOpenTestBegins);
    report_infof("%sアクセスで確認対象ファイルを開きます。(%s)", access_name, target);
    c->file = sys_calls.open_share_file(target, access, share, OPEN_EXISTING);
    if (c->file == INVALID_HANDLE_VALUE) {
        report_check_error(error, CHECK_USER_FILE_NOT_OPENED);
        c->result = TEST_NG;
    }
    report_info(kOpenTestEnds);
    if (c->file != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(&c->file);
    return c->result;
}

// The tool creates the file; the user opens it with the external application.
TestResult case_created_by_tool(CheckContext *ctx, CheckError *error) {
    Case c(kCase1);
    const char *target = ctx->targetfile;
    report_infof("確認対象ファイルを作成します。(%s)", target);
    c.file = sys_calls.open_share_file(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       OPEN_ALWAYS);
    if (c.file == INVALID_HANDLE_VALUE) {
        report_check_error(error, CHECK_TARGET_NOT_OPENED);
        return c.result = TEST_NG;
    }
    sys_calls.close_handle_reset(&c.file);
    report_infof("コマンドが作成した確認対象ファイルを外部アプリケーションで開けることを確認してください。(%s)", target);
    report_info("確認後、確認対象ファイルは閉じてください。");
    if (user_sync_wait(ctx, error) != 0) {
        delete_target(target);
        return c.result = TEST_ABORTED;
    }
    // A file the user still holds open stays; that is not the tool's failure.
    delete_target(target);
    return c.result;
}

// The user creates the file with the external application; the tool opens it with
// read access.
TestResult case_read_open(CheckContext *ctx, CheckError *error) {
    Case c(kCase2);
    const char *target = ctx->targetfile;
    report_infof("確認対象ファイルを外部アプリケーションで作成してください。(%s)", target);
    report_info("作成後、確認対象ファイルは閉じてください。");
    report_info(kWithinTimeout);
    if (user_sync_wait(ctx, error) != 0) return c.result = TEST_ABORTED;
    return open_user_file(&c, target, "読み取り", GENERIC_READ, FILE_SHARE_READ, error);
}

// The tool opens the user's file with read/write access; no wait.
TestResult case_read_write_open(CheckContext *ctx, CheckError *error) {
    Case c(kCase3);
    const char *target = ctx->targetfile;
    return open_user_file(&c, target, "読み書き", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          error);
}

// The tool holds the file open without sharing while the user tries to open it.
TestResult case_held_by_tool(CheckContext *ctx, CheckError *error) {
    Case c(kCase4);
    const char *target = ctx->targetfile;
    report_infof("確認対象ファイルを排他オープンします。(%s)", target);
    c.file = sys_calls.open_share_file(target, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    if (c.file == INVALID_HANDLE_VALUE) {
        report_check_error(error, CHECK_USER_FILE_NOT_OPENED);
        return c.result = TEST_NG;
    }
    report_infof("確認対象ファイルを外部アプリケーションで開けないことを確認してください。(%s)", target);
    report_info(kWithinTimeout);
    if (user_sync_wait(ctx, error) != 0) return c.result = TEST_ABORTED;
    report_info(kClosing);
    sys_calls.close_handle_reset(&c.file);
    return c.result;
}

// The user holds the file open; the tool's open without sharing must fail.
TestResult case_held_by_user(CheckContext *ctx, CheckError *error) {
    Case c(kCase5);
    const char *target = ctx->targetfile;
    report_infof("確認対象ファイルを外部アプリケーションで開いてください。(%s)", target);
    report_info(kWithinTimeout);
    if (user_sync_wait(ctx, error) != 0) return c.result = TEST_ABORTED;
    report_infof("確認対象ファイルを排他オープンします。(%s)", target);
    c.file = sys_calls.open_share_file(target, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    if (c.file == INVALID_HANDLE_VALUE) {
        set_check_error(error, CHECK_USER_FILE_NOT_OPENED);
        report_error_info(error);  // the expected outcome
    } else {
        report_check_error(error, CHECK_USER_FILE_OPENED, 0);
        sys_calls.close_handle_reset(&c.file);
        c.result = TEST_NG;
    }
    report_info(kClosing);
    if (c.file != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(&c.file);
    return c.result;
}

}  // namespace

TestResult external_app_check(CheckContext *ctx) {
    typedef TestResult (*CaseRoutine)(CheckContext *, CheckError *);
    static const CaseRoutine cases[] = {case_created_by_tool, case_read_open, case_read_write_open,
                                        case_held_by_tool, case_held_by_user};
    CheckError error = {0, 0};
    TestResult result = TEST_OK;

    EnterCriticalSection(&g_cleanup_lock);
    user_sync_handle = INVALID_HANDLE_VALUE;
    memset(user_sync_name, 0, sizeof user_sync_name);
    LeaveCriticalSection(&g_cleanup_lock);
    SetConsoleCtrlHandler(user_sync_cleanup, TRUE);

    for (CaseRoutine run : cases) {
        TestResult r = run(ctx, &error);
        if (r == TEST_ABORTED) {
            user_sync_cleanup(0);
            SetConsoleCtrlHandler(user_sync_cleanup, FALSE);
            report_error(&error);
            return TEST_ABORTED;
        }
        result = combine_result(result, r);
    }

    user_sync_cleanup(0);
    SetConsoleCtrlHandler(user_sync_cleanup, FALSE);
    return result;
}
