// Waitable timers and Sleep.
//
// A timer is a user-space object: its expiry is evaluated whenever someone looks
// at it (a wait, a re-arm), so no helper thread or signal is needed. Relative due
// times run on the monotonic clock and ignore changes of the system clock;
// absolute ones are FILETIMEs on the real-time clock and follow such changes.
#include "handles.h"

#include <errno.h>
#include <sched.h>
#include <unistd.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace plat {

namespace {

using Mono = std::chrono::steady_clock;
using Real = std::chrono::system_clock;

// Seconds between the FILETIME epoch (1601) and the Unix epoch (1970).
constexpr int64_t kEpochDelta = 11644473600LL;

// A waiter on an absolute due time re-reads the real-time clock at least this
// often, so a clock change moves its wake-up.
constexpr auto kRealtimeRecheck = std::chrono::milliseconds(500);

struct Timer : Object {
    explicit Timer(bool manual_reset) : Object(Kind::Timer), manual(manual_reset) {}

    DWORD wait(DWORD ms) override;

    // Marks the timer signalled when its due time has passed; a periodic timer
    // moves on to its next due time after now (missed periods collapse into one).
    void expire_locked();

    std::mutex mu;
    std::condition_variable cv;
    const bool manual;
    bool signalled = false;
    bool armed = false;
    bool absolute = false;
    Mono::time_point due_mono;
    Real::time_point due_real;
    std::chrono::milliseconds period{0};
};

// Moves a passed due time on by whole periods to the first one after now; false
// while the due time is still ahead.
template <class Clock>
bool pass_due(typename Clock::time_point *due, std::chrono::milliseconds period) {
    typename Clock::time_point now = Clock::now();
    if (now < *due) return false;
    if (period.count() != 0) *due += period * ((now - *due) / period + 1);
    return true;
}

void Timer::expire_locked() {
    if (!armed || !(absolute ? pass_due<Real>(&due_real, period) : pass_due<Mono>(&due_mono, period))) return;
    signalled = true;
    if (period.count() == 0) armed = false;
}

DWORD Timer::wait(DWORD ms) {
    const bool forever = ms == INFINITE;
    const Mono::time_point limit = Mono::now() + std::chrono::milliseconds(forever ? 0 : ms);
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
        expire_locked();
        if (signalled) {
            // A synchronisation timer lets exactly one wait through per expiry.
            if (!manual) signalled = false;
            return WAIT_OBJECT_0;
        }
        Mono::time_point now = Mono::now();
        if (!forever && now >= limit) return WAIT_TIMEOUT;
        Mono::time_point wake = forever ? Mono::time_point::max() : limit;
        if (armed && !absolute) wake = std::min(wake, due_mono);
        if (armed && absolute) {
            auto left = std::chrono::duration_cast<Mono::duration>(due_real - Real::now());
            wake = std::min(wake, now + std::min<Mono::duration>(left, kRealtimeRecheck));
        }
        if (wake == Mono::time_point::max())
            cv.wait(lock);
        else
            cv.wait_until(lock, wake);
    }
}

}  // namespace

}  // namespace plat

using plat::Kind;
using plat::Ref;
using plat::Timer;

HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES lpTimerAttributes, BOOL bManualReset, LPCSTR lpTimerName) {
    (void)lpTimerAttributes;  // no other process can reach an unnamed timer; nothing to inherit
    return plat::handle_insert_unnamed(lpTimerName, new (std::nothrow) Timer(bManualReset != FALSE));
}

BOOL WINAPI SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER *lpDueTime, LONG lPeriod,
                             PTIMERAPCROUTINE pfnCompletionRoutine, LPVOID lpArgToCompletionRoutine, BOOL fResume) {
    // A completion routine runs only while the arming thread waits alertably,
    // which no call of this subset does, so it never runs.
    (void)pfnCompletionRoutine;
    (void)lpArgToCompletionRoutine;
    Ref<Timer> t(plat::handle_ref(hTimer, Kind::Timer));
    if (!t) return FALSE;
    if (lpDueTime == nullptr) return plat::fail<BOOL>(ERROR_NOACCESS, FALSE);
    if (lPeriod < 0) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    const LONGLONG due = lpDueTime->QuadPart;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        // Arming starts from the non-signalled state, also when the last expiry
        // was never waited for; current waiters stay blocked until the new due time.
        t->signalled = false;
        t->armed = true;
        t->period = std::chrono::milliseconds(lPeriod);
        if (due < 0) {
            t->absolute = false;
            // Clamp absurd due times (thousands of years) so the nanosecond count cannot overflow.
            const LONGLONG max_ticks = (LONGLONG)(INT64_MAX / 100) - 1;
            LONGLONG ticks = due == INT64_MIN ? max_ticks : -due;
            if (ticks > max_ticks / 2) ticks = max_ticks / 2;
            t->due_mono = plat::Mono::now() + std::chrono::nanoseconds(ticks * 100);
        } else {
            t->absolute = true;
            // FILETIME 100-ns ticks since 1601 to the real-time clock.
            LONGLONG secs = due / 10000000 - plat::kEpochDelta;
            LONGLONG rest_ns = (due % 10000000) * 100;
            const LONGLONG max_secs = INT64_MAX / 1000000000LL / 2;
            if (secs > max_secs) secs = max_secs;
            if (secs < 0) secs = rest_ns = 0;  // before 1970: long past either way
            t->due_real = plat::Real::time_point(std::chrono::duration_cast<plat::Real::duration>(
                std::chrono::seconds(secs) + std::chrono::nanoseconds(rest_ns)));
        }
    }
    t->cv.notify_all();
    // No power management here: the call succeeds but says that resuming is not available.
    SetLastError(fResume ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CancelWaitableTimer(HANDLE hTimer) {
    Ref<Timer> t(plat::handle_ref(hTimer, Kind::Timer));
    if (!t) return FALSE;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        // An expiry that already happened stays visible; only future ones are cancelled.
        t->expire_locked();
        t->armed = false;
    }
    t->cv.notify_all();
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = (long)(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
