// Fault injection through the table of calls: an entry is
// replaced by a wrapper that fails its Nth call (counted from 1), once or from
// then on, with a chosen last error, and otherwise calls the function it
// replaced. sys_calls_reset() puts every entry back.
#pragma once

#include <atomic>

#include "fsprim/calls.h"

template <auto Member>
struct FaultedCall;

template <typename R, typename... A, R (*SysCalls::*Member)(A...)>
struct FaultedCall<Member> {
    static inline std::atomic<int> calls{0};
    static inline int nth = 0;
    static inline bool from_then_on = false;
    static inline DWORD error = 0;
    static inline R failure{};
    static inline R (*replaced)(A...) = nullptr;

    static R call(A... args) {
        int n = ++calls;
        if (from_then_on ? n >= nth : n == nth) {
            SetLastError(error);
            return failure;
        }
        return replaced(args...);
    }
};

// Makes call number nth of the entry fail (and every later one when
// from_then_on), returning failure with the last error set to error.
template <auto Member, typename R>
void fail_call(int nth, bool from_then_on, DWORD error, R failure) {
    using F = FaultedCall<Member>;
    F::calls = 0;
    F::nth = nth;
    F::from_then_on = from_then_on;
    F::error = error;
    F::failure = failure;
    if (sys_calls.*Member != &F::call) F::replaced = sys_calls.*Member;
    sys_calls.*Member = &F::call;
}

// How often the entry was called since fail_call.
template <auto Member>
int calls_of() {
    return FaultedCall<Member>::calls;
}

// Lock layers that misbehave as a whole: one that grants every lock and release at
// once, and one that queues every waiting request and never grants it.
inline int lock_granted(HANDLE, int, OVERLAPPED *) { return 0; }
inline int lock_granted_timed(const CheckContext *, HANDLE, HANDLE, HANDLE, int, int, CheckError *error, int) {
    error->code = 0;
    error->os_error = 0;
    return 0;
}
inline int unlock_granted_timed(const CheckContext *, HANDLE, HANDLE, HANDLE, CheckError *error) {
    error->code = 0;
    error->os_error = 0;
    return 0;
}
inline int lock_never_granted(HANDLE, int, OVERLAPPED *ov) {
    ov->Internal = (ULONG_PTR)STATUS_PENDING;
    SetLastError(ERROR_IO_PENDING);
    return -2;
}

// A folder whose every non-waiting request ends as the timed lock ends one that the
// file system left pending until the timeout (CHECK_TIMEOUT, the withdrawn request's
// error left behind) or one it had no record for (CHECK_NO_MEMORY): written whatever
// report_refusal says.
template <CheckCode Code>
int non_waiting_lock_ends_as(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, int exclusive,
                             int wait, CheckError *error, int report_refusal) {
    if (wait) return lock_range_timed(ctx, file, event, timer, exclusive, wait, error, report_refusal);
    const DWORD last = Code == CHECK_TIMEOUT ? ERROR_OPERATION_ABORTED : ERROR_NOT_ENOUGH_MEMORY;
    report_check_error(error, Code, Code == CHECK_TIMEOUT ? 0 : last);
    SetLastError(last);
    return -1;
}

inline void grant_every_lock(void) {
    sys_calls.lock_range = lock_granted;
    sys_calls.lock_range_timed = lock_granted_timed;
    sys_calls.unlock_range_timed = unlock_granted_timed;
}

inline void never_grant_a_pending_lock(void) { sys_calls.lock_range = lock_never_granted; }
