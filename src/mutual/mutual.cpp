// Mode double: the driver, its cleanup registry and console control handler, and
// the open test of a file that the other process created.
#include "mutual/mutual.h"

#include "front/cleanup_lock.h"
#include "fsprim/fsprim.h"
#include "mutual/scope.h"
#include "single/single.h"
#include "sync/sync.h"

MutualRegistry mutual_registry = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, {0}, {0}, nullptr};

static void release_handle(HANDLE *handle) {
    if (*handle == INVALID_HANDLE_VALUE) return;
    unlock_range(*handle);
    if (*handle != INVALID_HANDLE_VALUE) close_handle_reset(handle);
}

static void delete_name(char *name) {
    if (name[0] == '\0') return;
    if (delete_work_file(name) == 0) report_infof("ファイルを削除しました。(%s)", name);
    // Emptied either way: a file that the other process still holds open is
    // deleted by that process's own clean-up.
    memset(name, 0, 261);
}

int mutual_cleanup(int flag) {
    EnterCriticalSection(&g_cleanup_lock);
    MutualRegistry *reg = &mutual_registry;
    release_handle(&reg->own_handle);
    release_handle(&reg->peer_handle);
    delete_name(reg->own_name);
    delete_name(reg->peer_name);
    if (reg->session != nullptr) {
        SyncSession *session = reg->session;
        if (flag != 0) {
            sync_release(session, 1);
        } else {
            sync_close(session);
        }
        reg->session = nullptr;
    }
    LeaveCriticalSection(&g_cleanup_lock);
    return 0;
}

BOOL WINAPI mutual_ctrl_handler(DWORD ctrl_type) {
    (void)ctrl_type;
    // Held across mutual_cleanup, which enters the (recursive) lock again.
    if (!enter_cleanup_lock_in_handler()) return FALSE;
    mutual_cleanup(1);
    leave_cleanup_lock_in_handler();
    return FALSE;
}

void mutual_registry_begin(SyncSession *session) {
    MutualRegistry *reg = &mutual_registry;
    reg->own_handle = INVALID_HANDLE_VALUE;
    reg->peer_handle = INVALID_HANDLE_VALUE;
    memset(reg->own_name, 0, sizeof reg->own_name);
    memset(reg->peer_name, 0, sizeof reg->peer_name);
    reg->session = nullptr;
    SetConsoleCtrlHandler(mutual_ctrl_handler, TRUE);
    reg->session = session;
}

void mutual_registry_end(void) {
    mutual_cleanup(0);
    SetConsoleCtrlHandler(mutual_ctrl_handler, FALSE);
}

static const char *selected_folder(const CheckContext *ctx, int selector) {
    if (selector == FOLDER_SHARED) return ctx->kavsharepath;
    if (selector == FOLDER_TARGET) return ctx->targetpath;
    return nullptr;
}

static int open_failure_code(int selector) { return selector == FOLDER_SHARED ? 4 : 5; }

TestResult mutual_open_test(CheckContext *ctx, int selector) {
    const char *folder = selected_folder(ctx, selector);
    if (folder == nullptr) return TEST_ABORTED;
    CheckError error = {0, 0};

    report_info("同期処理の初期化をします。");
    SyncSession *session = sync_open(2, ctx->kavsharepath, ctx->timeout);
    if (session == nullptr) return TEST_ABORTED;
    const int32_t role = (int32_t)session->role;
    mutual_registry_begin(session);
    ScopeExit cleanup([] { mutual_registry_end(); });
    MutualRegistry *reg = &mutual_registry;

    make_work_file_name(ctx->mode, folder, role, reg->own_name);
    // Named from the start, so that a test that stops at its first sync point (the
    // other process killed as it passed it) still removes the other's file.
    make_work_file_name(ctx->mode, folder, role ^ 1, reg->peer_name);
    report_infof("自プロセスのファイルをオープンします。(%s)", reg->own_name);
    reg->own_handle = open_share_file(reg->own_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      OPEN_ALWAYS);
    if (reg->own_handle == INVALID_HANDLE_VALUE) {
        set_check_error(&error, open_failure_code(selector));
        report_error(&error);
        return TEST_NG;
    }

    if (sync_point(session) != 0) {
        report_error(&error);
        return TEST_ABORTED;
    }

    TestResult result = TEST_OK;
    {
        ReportStep step("処理「他プロセスが作成済のファイルをオープン」");
        make_work_file_name(ctx->mode, folder, role ^ 1, reg->peer_name);
        report_infof("対向プロセスのファイルをオープンします。(%s)", reg->peer_name);
        reg->peer_handle = open_share_file(reg->peer_name, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
        if (reg->peer_handle == INVALID_HANDLE_VALUE) {
            set_check_error(&error, open_failure_code(selector));
            report_error(&error);
            step.result = TEST_NG;
        }
        result = step.result;
    }

    if (sync_point(session) != 0) {
        report_error(&error);
        return TEST_ABORTED;
    }
    return result;
}

// One category of the mutual part: its begin and end lines around the test.
static TestResult run_category(const char *title, TestResult (*test)(CheckContext *, int), CheckContext *ctx,
                               int selector) {
    report_begin(title);
    TestResult r = test(ctx, selector);
    report_end(title, r);
    return r;
}

static const char kOperation[] = "動作「相互環境確認」";
static const char kSharedGroup[] = "確認対象「KAVRO間共有環境設定パスに対するテスト」";
static const char kTargetGroup[] = "確認対象「確認対象パスに対するテスト」";
static const char kOpenKind[] = "処理種別「ファイルオープン処理」";
static const char kLockKind[] = "処理種別「バイト範囲のロック処理」";
static const char kDeleteKind[] = "処理種別「ファイル削除処理」";

TestResult mutual_check(CheckContext *ctx) {
    ctx->mode = 1;
    TestResult single = single_check(ctx);
    if (single == TEST_ABORTED) return TEST_ABORTED;
    ctx->mode = 2;

    report_begin(kOperation);
    report_begin(kSharedGroup);
    TestResult h = run_category(kOpenKind, mutual_open_test, ctx, FOLDER_SHARED);
    if (h != TEST_ABORTED) h = combine_result(h, run_category(kLockKind, mutual_lock_test, ctx, FOLDER_SHARED));
    report_end(kSharedGroup, h);

    TestResult m = TEST_ABORTED;
    if (h != TEST_ABORTED) {
        report_begin(kTargetGroup);
        TestResult t = run_category(kOpenKind, mutual_open_test, ctx, FOLDER_TARGET);
        if (t != TEST_ABORTED) t = combine_result(t, run_category(kLockKind, mutual_lock_test, ctx, FOLDER_TARGET));
        if (t != TEST_ABORTED) t = combine_result(t, run_category(kDeleteKind, mutual_delete_test, ctx, FOLDER_TARGET));
        report_end(kTargetGroup, t);
        m = combine_result(h, t);
    }
    report_end(kOperation, m);

    // A failed single part stays visible even when the mutual part aborted.
    return single == TEST_NG ? TEST_NG : m;
}
