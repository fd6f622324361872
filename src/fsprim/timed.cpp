// Lock, unlock and overlapped waits bounded by a waitable timer, polled every 100 ms.
//
// A lock or unlock request that is still pending when the timer fires, or when the
// timer cannot be read (the wait would be unbounded), is withdrawn before the call
// returns: CancelIoEx on exactly that request, then a bounded poll until the system
// has ended it. Only then is its OVERLAPPED record given back, so no later request
// can share it while the system may still write to it. A request that the system
// grants in the race with the cancel is undone (its byte unlocked), so a failed wait
// still means "not held". A system that does not end a cancelled request within
// the grace period keeps the record: it moves to a list that lives as long as the
// process and is never reused.
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

enum PollEnd { POLL_DONE, POLL_FAILED, POLL_TIMED_OUT, POLL_TIMER_FAILED };

// POLL_FAILED: ended with an error (last error). POLL_TIMED_OUT and POLL_TIMER_FAILED
// (the timer could not be read, last error) leave the request outstanding.
PollEnd poll_request(HANDLE file, OVERLAPPED *ov, HANDLE timer) {
    for (;;) {
        DWORD transferred = 0;
        if (sys_calls.get_overlapped_result(file, ov, &transferred, FALSE)) return POLL_DONE;
        if (GetLastError() != ERROR_IO_INCOMPLETE) return POLL_FAILED;
        const DWORD fired = sys_calls.wait_for_single_object(timer, 0);
        if (fired == WAIT_OBJECT_0) return POLL_TIMED_OUT;
        if (fired == WAIT_FAILED) return POLL_TIMER_FAILED;
        Sleep(POLL_MS);
    }
}

// io_withdraw after a timer that could not be read: its error, not the
// withdrawal's, is what the caller reports.
int withdraw_keeping_error(HANDLE file, OVERLAPPED *ov) {
    const DWORD why = GetLastError();
    const int ended = io_withdraw(file, ov);
    SetLastError(why);
    return ended;
}

// REQUEST_NO_RECORD: no request was made, so no refusal either.
enum RequestEnd { REQUEST_DONE, REQUEST_FAILED, REQUEST_TIMED_OUT, REQUEST_NO_RECORD };

// Starts a lock or unlock request on an overlapped handle and waits for it, bounded
// by the timer. REQUEST_FAILED: refused or failed, with the last error. A request
// still pending at the due time (REQUEST_TIMED_OUT) or when the timer cannot be
// read (REQUEST_FAILED with the timer's error) is withdrawn; *granted_late tells
// that it ended successfully in the race with the withdrawal.
template <typename Start>
RequestEnd run_request(HANDLE file, HANDLE event, HANDLE timer, LONGLONG due_time, Start start, bool *granted_late) {
    *granted_late = false;
    RequestRecord record{static_cast<OVERLAPPED *>(io_block_new(sizeof(OVERLAPPED))), false};
    if (record.ov == nullptr) return REQUEST_NO_RECORD;
    record.ov->hEvent = event;
    if (start(record.ov)) return REQUEST_DONE;
    if (GetLastError() != ERROR_IO_PENDING) return REQUEST_FAILED;
    arm_timer(timer, due_time);
    const PollEnd r = poll_request(file, record.ov, timer);
    if (r == POLL_DONE) return REQUEST_DONE;
    if (r == POLL_FAILED) return REQUEST_FAILED;
    const bool timed_out = r == POLL_TIMED_OUT;
    const int ended = timed_out ? io_withdraw(file, record.ov) : withdraw_keeping_error(file, record.ov);
    record.outstanding = ended == -1;
    *granted_late = ended == 1;
    return timed_out ? REQUEST_TIMED_OUT : REQUEST_FAILED;
}

// The end of a timed request as its caller answers it: 0 done; otherwise -1, with
// the error line of a missing record or a timeout written, and that of failure
// (the refusal, with the call's error) unless report_failure is 0.
int request_result(RequestEnd end, CheckError *error, CheckCode failure, int report_failure) {
    if (end == REQUEST_DONE) {
        set_check_error(error, CHECK_NONE, 0);
        return 0;
    }
    // Written whatever report_failure says: neither is a plain refusal, and a caller
    // that expects one tells them apart by the code.
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
        // Granted in the race with the cancel: give it back, the caller is told it is
        // not held (and, for a failed timer, why).
        const DWORD why = GetLastError();
        OVERLAPPED undo = {};
        sys_calls.unlock_file_ex(file, 0, 1, 0, &undo);
        SetLastError(why);
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
    switch (poll_request(file, overlapped, timer)) {
    case POLL_DONE: return 0;
    case POLL_FAILED: return -1;
    case POLL_TIMED_OUT: return -3;
    case POLL_TIMER_FAILED: break;
    }
    // The wait cannot be bounded: the operation is withdrawn now. -1 tells the caller
    // that it has ended; one the withdrawal could not end is answered as at a timeout,
    // so the caller still withdraws it again and keeps its record.
    return withdraw_keeping_error(file, overlapped) == -1 ? -3 : -1;
}
