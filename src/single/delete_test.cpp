// The delete test: a file this process created and closed can be deleted.
#include "single/frame.h"

TestResult delete_test(CheckContext *ctx, int selector) {
    (void)selector;  // the test always works in the target path
    CheckError error = {0, 0};
    TestResult result = TEST_OK;

    SlotFrame frame(0, nullptr);
    SingleSlot *slot = frame.slot();
    name_registered(slot->file_name, ctx->mode, ctx->targetpath, 0);
    report_infof(FILE_OPENING, slot->file_name);
    if (open_registered(&slot->handle, slot->file_name, OPEN_ALWAYS) == INVALID_HANDLE_VALUE) {
        report_check_error(&error, CHECK_TARGET_NOT_OPENED);
        return TEST_NG;
    }
    report_info("ファイルを閉じます。");
    close_registered(&slot->handle);

    ReportScope step("処理「自プロセスが作成済のファイルを削除」", &result);
    if (sys_calls.delete_work_file(slot->file_name) == 0) {
        report_infof(FILE_DELETED, slot->file_name);
        // Deleted: nothing is left for the clean-up to delete.
        memset(slot->file_name, 0, sizeof slot->file_name);
    } else {
        report_check_error(&error, CHECK_DELETE_FAILED);
        result = TEST_NG;
    }
    return result;
}
