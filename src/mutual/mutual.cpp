// Mode double: the driver, its cleanup registry and console control handler, and
// the open test of a file that the other process created.
#include "mutual/mutual.h"

#include "base/cleanup_lock.h"
#include "fsprim/calls.h"
#include "single/single.h"
#include "single/lock_pair.h"
#include "sync/sync.h"

MutualRegistry mutual_registry = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, {0}, {0}, nullptr};

static void release_handle(HANDLE *handle) {
    if (*handle == INVALID_HANDLE_VALUE) return;
    sys_calls.unlock_range(*handle);
    if (*handle != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(handle);
}

static void delete_name(char *name) {
    if (name[0] == '\0') return;
    if (sys_calls.delete_work_file(name) == 0) report_infof(FILE_DELETED, name);
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
        if (flag == CLEANUP_INTERRUPTED) {
            sync_release(session, SESSION_DELETE_FILES);
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
    mutual_cleanup(CLEANUP_INTERRUPTED);
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
    mutual_cleanup(CLEANUP_ORDERLY);
    SetConsoleCtrlHandler(mutual_ctrl_handler, FALSE);
}

MutualTest::~MutualTest() {
    if (session_ != nullptr) mutual_registry_end();
}

TestResult MutualTest::begin(CheckContext *ctx, int selector) {
    const char *folder = selected_folder(ctx, selector);
    if (folder == nullptr) return TEST_ABORTED;
    report_info(SYNC_OPENING);
    SyncSession *session = sys_calls.sync_open(MODE_DOUBLE, ctx->kavsharepath, ctx->timeout);
    if (session == nullptr) return TEST_ABORTED;
    const int32_t role = (int32_t)session->role;
    mutual_registry_begin(session);
    session_ = session;
    MutualRegistry *reg = &mutual_registry;
    sys_calls.make_work_file_name(ctx->mode, folder, role, reg->own_name);
    // Named from the start, so that a test that stops at its first sync point (the
    // other process killed as it passed it) still removes the other's file.
    sys_calls.make_work_file_name(ctx->mode, folder, role ^ 1, reg->peer_name);
    report_infof(OPENING_OWN_FILE, reg->own_name);
    reg->own_handle = sys_calls.open_share_file(reg->own_name, GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    if (reg->own_handle == INVALID_HANDLE_VALUE) {
        report_check_error(&error, open_failure_code(selector));
        return TEST_NG;
    }
    return meet();
}

TestResult MutualTest::meet() {
    if (sys_calls.sync_point(session_) == 0) return TEST_OK;
    report_error(&error);
    return TEST_ABORTED;
}

TestResult mutual_open_test(CheckContext *ctx, int selector) {
    MutualTest test;
    TestResult result = test.begin(ctx, selector);
    if (result != TEST_OK) return result;
    MutualRegistry *reg = &mutual_registry;
    {
        ReportScope step("処理「他プロセスが作成済のファイルをオープン」", &result);
        report_infof(OPENING_PEER_FILE, reg->peer_name);
        reg->peer_handle = sys_calls.open_share_file(reg->peer_name, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
        if (reg->peer_handle == INVALID_HANDLE_VALUE) {
            report_check_error(&test.error, open_failure_code(selector));
            result = TEST_NG;
        }
    }
    return test.meet() == TEST_OK ? result : TEST_ABORTED;
}

TestResult mutual_check(CheckContext *ctx) {
    ctx->mode = MODE_SINGLE;
    TestResult single = single_check(ctx);
    if (single == TEST_ABORTED) return TEST_ABORTED;
    ctx->mode = MODE_DOUBLE;

    TestResult mutual = TEST_OK;
    ReportScope operation("動作「相互環境確認」", &mutual);
    static const TestCategory shared_path[] = {{CATEGORY_OPEN, mutual_open_test}, {CATEGORY_LOCK, mutual_lock_test}};
    static const TestCategory target_path[] = {{CATEGORY_OPEN, mutual_open_test},
                                               {CATEGORY_LOCK, mutual_lock_test},
                                               {CATEGORY_DELETE, mutual_delete_test}};
    mutual = run_target_group(ctx, FOLDER_SHARED, shared_path, 2);
    if (mutual != TEST_ABORTED) mutual = combine_result(mutual, run_target_group(ctx, FOLDER_TARGET, target_path, 3));
    // A failed single part stays visible even when the mutual part aborted.
    return single == TEST_NG ? TEST_NG : mutual;
}
