// Cross-process delete test: each process deletes the work file that the other
// created and closed.
#include "fsprim/calls.h"
#include "mutual/mutual.h"
#include "single/lock_pair.h"
#include "sync/sync.h"

TestResult mutual_delete_test(CheckContext *ctx, int selector) {
    // Always the target path: the selector is taken only to match the other tests.
    (void)selector;
    MutualTest test;
    TestResult result = test.begin(ctx, FOLDER_TARGET);
    if (result != TEST_OK) return result;
    MutualRegistry *reg = &mutual_registry;

    report_info("自プロセスのファイルをクローズします。");
    // A failed close stays registered; the clean-up tries again.
    if (reg->own_handle != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(&reg->own_handle);
    if (test.meet() != TEST_OK) return TEST_ABORTED;
    {
        ReportScope step("処理「他プロセスが作成済のファイルを削除」", &result);
        report_info("対向プロセスのファイルを削除します。");
        if (sys_calls.delete_work_file(reg->peer_name) != 0) {
            report_check_error(&test.error, CHECK_DELETE_FAILED);
            result = TEST_NG;
        }
    }
    return test.meet() == TEST_OK ? result : TEST_ABORTED;
}
