// Lock, unlock and overlapped waits bounded by a waitable timer, polled every 100 ms.
//
// A lock or unlock request that is still pending when the timer fires is
// withdrawn before the call returns: CancelIoEx on exactly that request, then a
// bounded poll until the system has ended it. Only then is its OVERLAPPED record
// given back, so no later request can share it while the system may still write
// to it. A request that the system grants in the race with the cancel is undone
// (its byte unlocked), so a timeout still means "not held". A system that does not
// end a cancelled request within the grace period keeps the record: it moves to a
// list that lives as long as the process and is never reused.
#include "fsprim/calls.h"
#include "fsprim/io_records.h"

namespace {

enum { POLL_MS = 100 };

// The record of one request: given back on every way out, or kept for the
// process's life when the request never ended.
struct RequestRecord {
    OVERLAPPED *ov;
    bool outstanding;
    ~RequestRecord() { io_block_retire(ov, outstanding); }
};

void arm_timer(HANDLE timer, LONGLONG due_time) {
    // Some systems keep the signal of a synchronisation timer that fired after
    // the last wait on it through a re-arm; take such a stale signal first so that
    // it cannot end this wait at once. Where re-arming clears it this finds nothing.
    sys_calls.wait_for_single_object(timer, 0);
    LARGE_INTEGER due;
    due.QuadPart = due_time;
    sys_calls.set_waitable_timer(timer, &due, 0, NULL, NULL, FALSE);
}

// 0 done, -1 ended with an error or the timer could not be read (last error), -3
// the timer fired first.
int poll_request(HANDLE file, OVERLAPPED *ov, HANDLE timer) {
    for (;;) {
        DWORD transferred = 0;
        if (sys_calls.get_overlapped_result(file, ov, &transferred, FALSE)) return 0;
        if (GetLastError() != ERROR_IO_INCOMPLETE) return -1;
        // A timer that cannot be read would leave the wait unbounded: the request fails.
        const DWORD fired = sys_calls.wait_for_single_object(timer, 0);
        if (fired == WAIT_OBJECT_0) return -3;
        if (fired == WAIT_FAILED) return -1;
        Sleep(POLL_MS);
    }
}

// REQUEST_NO_RECORD: no request was made, so no refusal either.
enum RequestEnd { REQUEST_DONE, REQUEST_FAILED, REQUEST_TIMED_OUT, REQUEST_NO_RECORD };

// Starts a lock or unlock request on an overlapped handle and waits for it, bounded
// by the timer. REQUEST_FAILED: refused or failed, with the last error. A request
// still pending at the due time is withdrawn (REQUEST_TIMED_OUT); *granted_late
// tells that it ended successfully in the race with the withdrawal.
template <typename Start>
RequestEnd run_request(HANDLE file, HANDLE event, HANDLE timer, LONGLONG due_time, Start start, bool *granted_late) {
    *granted_late = false;
    RequestRecord record{static_cast<OVERLAPPED *>(io_block_new(sizeof(OVERLAPPED))), false};
    if (record.ov == nullptr) return REQUEST_NO_RECORD;
    record.ov->hEvent = event;
    if (start(record.ov)) return REQUEST_DONE;
    if (GetLastError() != ERROR_IO_PENDING) return REQUEST_FAILED;
    arm_timer(timer, due_time);
    const int r = poll_request(file, record.ov, timer);
    if (r == 0) return REQUEST_DONE;
    if (r == -1) return REQUEST_FAILED;
    const int ended = io_withdraw(file, record.ov);
    record.outstanding = ended == -1;
    *granted_late = ended == 1;
    return REQUEST_TIMED_OUT;
}

// The end of a timed request as its caller answers it: 0 done; otherwise -1, with
// the error line of a missing record or a timeout written, and that of failure
// (the refusal, with the call's error) unless report_failure is 0.
int request_result(RequestEnd end, CheckError *error, CheckCode failure, int report_failure) {
    if (end == REQUEST_DONE) {
        set_check_error(error, CHECK_NONE, 0);
        return 0;
    }
    // Written whatever report_failure says: a caller that expects a refusal must
    // not take these for one.
    if (end == REQUEST_NO_RECORD) report_check_error(error, CHECK_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY);
    if (end == REQUEST_TIMED_OUT) report_check_error(error, CHECK_TIMEOUT, 0);
    if (end != REQUEST_FAILED) return -1;
    // Refused or failed: the lock call's error stays the thread's last error.
    const DWORD os_error = GetLastError();
    if (report_failure) report_check_error(error, failure, os_error);
    SetLastError(os_error);
    return -1;
}

}  // namespace

int lock_range_timed(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, int exclusive, int wait,
                     CheckError *error, int report_refusal) {
    const CheckCode code = wait ? (exclusive ? CHECK_EXCLUSIVE_WAIT_FAILED : CHECK_SHARED_WAIT_FAILED)
                                : (exclusive ? CHECK_EXCLUSIVE_NO_WAIT_FAILED : CHECK_SHARED_NO_WAIT_FAILED);
    const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0u) | (wait ? 0u : LOCKFILE_FAIL_IMMEDIATELY);
    bool granted_late = false;
    const RequestEnd end = run_request(
        file, event, timer, timeout_due_time(ctx->timeout),
        [&](OVERLAPPED *ov) { return sys_calls.lock_file_ex(file, flags, 0, 1, 0, ov); }, &granted_late);
    if (granted_late) {
        // Granted in the race with the cancel: give it back, the caller is told it is not held.
        OVERLAPPED undo = {};
        sys_calls.unlock_file_ex(file, 0, 1, 0, &undo);
    }
    return request_result(end, error, code, report_refusal);
}

int unlock_range_timed(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, CheckError *error) {
    bool granted_late = false;
    const RequestEnd end = run_request(
        file, event, timer, timeout_due_time(ctx->timeout),
        [&](OVERLAPPED *ov) { return sys_calls.unlock_file_ex(file, 0, 1, 0, ov); }, &granted_late);
    return request_result(end, error, CHECK_UNLOCK_FAILED, REFUSAL_REPORTED);
}

int wait_overlapped_timed(HANDLE file, OVERLAPPED *overlapped, HANDLE timer, LONGLONG due_time) {
    arm_timer(timer, due_time);
    return poll_request(file, overlapped, timer);
}
