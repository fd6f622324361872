// Cross-process delete test: each process deletes the work file that the other
// created and closed.
#include "base/scope_exit.h"
#include "fsprim/fsprim.h"
#include "mutual/mutual.h"
#include "single/lock_pair.h"
#include "sync/sync.h"

TestResult mutual_delete_test(CheckContext *ctx, int selector) {
    // Always the target path: the selector is taken only to match the other tests.
    (void)selector;
    CheckError error = {0, 0};

    report_info(SYNC_OPENING);
    SyncSession *session = sync_open(MODE_DOUBLE, ctx->kavsharepath, ctx->timeout);
    if (session == nullptr) return TEST_ABORTED;
    const int32_t role = (int32_t)session->role;
    mutual_registry_begin(session);
    ScopeExit cleanup([] { mutual_registry_end(); });
    MutualRegistry *reg = &mutual_registry;

    make_work_file_name(ctx->mode, ctx->targetpath, role, reg->own_name);
    // Named from the start, so that a test that stops at a sync point (the other
    // process killed) still removes the other's file.
    make_work_file_name(ctx->mode, ctx->targetpath, role ^ 1, reg->peer_name);
    report_infof(OPENING_OWN_FILE, reg->own_name);
    reg->own_handle = open_share_file(reg->own_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      OPEN_ALWAYS);
    if (reg->own_handle == INVALID_HANDLE_VALUE) {
        set_check_error(&error, CHECK_TARGET_NOT_OPENED);
        report_error(&error);
        return TEST_NG;
    }

    if (sync_point(session) != 0) {
        report_error(&error);
        return TEST_ABORTED;
    }

    report_info("自プロセスのファイルをクローズします。");
    // A failed close stays registered; the clean-up tries again.
    if (reg->own_handle != INVALID_HANDLE_VALUE) close_handle_reset(&reg->own_handle);

    if (sync_point(session) != 0) {
        report_error(&error);
        return TEST_ABORTED;
    }

    TestResult result = TEST_OK;
    {
        ReportScope step("処理「他プロセスが作成済のファイルを削除」", &result);
        report_info("対向プロセスのファイルを削除します。");
        make_work_file_name(ctx->mode, ctx->targetpath, role ^ 1, reg->peer_name);
        if (delete_work_file(reg->peer_name) != 0) {
            set_check_error(&error, CHECK_DELETE_FAILED);
            report_error(&error);
            result = TEST_NG;
        }
    }

    if (sync_point(session) != 0) {
        report_error(&error);
        return TEST_ABORTED;
    }
    return result;
}
