// The read/write test: 11 bytes written at offset 0 with overlapped I/O and read
// back, each phase bounded by the timeout.
#include "fsprim/io_records.h"
#include "single/frame.h"

namespace {

// The records and buffers of the two phases. A phase whose wait timed out may
// leave its operation outstanding, so each phase has its own record and buffer,
// and the block of a test in which a wait timed out is never freed.
struct RwIo {
    OVERLAPPED write_ov;
    OVERLAPPED read_ov;
    char read_buf[12];
};

const char WRITE_DATA[11] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '\0'};

// Waits for the operation that was just started; returns the phase's result. An
// operation still pending at the timeout is left to the frame, pending[phase].
TestResult await_phase(TestObjects *objects, int phase, HANDLE file, OVERLAPPED *ov, LONGLONG due, BOOL started,
                       CheckCode failure_code, CheckError *error) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        report_check_error(error, failure_code);
        return TEST_NG;
    }
    int r = sys_calls.wait_overlapped_timed(file, ov, objects->timer, due);
    if (r == -1) {
        report_check_error(error, failure_code);
        return TEST_NG;
    }
    if (r == -3) {
        objects->pending[phase] = {file, ov};
        report_check_error(error, CHECK_TIMEOUT, 0);
        return TEST_NG;
    }
    return TEST_OK;
}

}  // namespace

TestResult read_write_test(CheckContext *ctx, int selector) {
    (void)selector;  // the test always works in the target path
    CheckError error = {0, 0};
    TestResult write_result = TEST_OK;
    TestResult read_result = TEST_OK;

    SlotFrame frame(0, nullptr);
    SingleSlot *slot = frame.slot();
    TestObjects *objects = &frame.objects;

    objects->events[0] = sys_calls.create_event(NULL, FALSE, FALSE, NULL);
    if (objects->events[0] == NULL) {
        report_info("イベントオブジェクトの生成に失敗しました。");
        return TEST_NG;
    }
    objects->timer = sys_calls.create_waitable_timer(NULL, FALSE, NULL);
    if (objects->timer == NULL) {
        report_check_error(&error, CHECK_TIMER_FAILED);
        return TEST_NG;
    }
    const LONGLONG due = timeout_due_time(ctx->timeout);

    name_registered(slot->file_name, ctx->mode, ctx->targetpath, 0);
    report_infof(FILE_OPENING, slot->file_name);
    if (open_registered(&slot->handle, slot->file_name, OPEN_ALWAYS) == INVALID_HANDLE_VALUE) {
        report_check_error(&error, CHECK_TARGET_NOT_OPENED);
        return TEST_NG;
    }

    RwIo *io = static_cast<RwIo *>(objects->block = io_block_new(sizeof(RwIo)));
    if (io == nullptr) {
        report_check_error(&error, CHECK_NO_MEMORY);
        return TEST_NG;
    }
    const HANDLE file = slot->handle;
    {
        ReportScope phase("処理「ファイルの書き込み」", &write_result);
        report_info("ファイルに書き込みます。");
        io->write_ov.hEvent = objects->events[0];
        BOOL started = sys_calls.write_file(file, WRITE_DATA, sizeof WRITE_DATA, NULL, &io->write_ov);
        bool failed_at_once = !started && GetLastError() != ERROR_IO_PENDING;
        write_result = await_phase(objects, 0, file, &io->write_ov, due, started, CHECK_WRITE_FAILED, &error);
        if (!failed_at_once && !sys_calls.flush_file_buffers(file)) {
            report_check_error(&error, CHECK_WRITE_FAILED);
            write_result = TEST_NG;
        }
    }
    {
        ReportScope phase("処理「ファイルの読み込み」", &read_result);
        report_info("ファイルから読み込みます。");
        io->read_ov.hEvent = objects->events[0];
        BOOL started = sys_calls.read_file(file, io->read_buf, 11, NULL, &io->read_ov);
        read_result = await_phase(objects, 1, file, &io->read_ov, due, started, CHECK_READ_FAILED, &error);
    }
    return combine_result(write_result, read_result);
}
