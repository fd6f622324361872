// Waitable timers and Sleep, as Windows documents them: relative due times in
// 100-ns units, synchronisation timers consumed by one wait, notification timers
// signalled until re-armed, re-arming clears the signalled state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/win32.h"

namespace {

constexpr LONGLONG kMs = -10000;  // one millisecond as a relative due time

// Closes a handle at the end of a test, whatever the way out.
struct HandleGuard {
    HANDLE h;
    ~HandleGuard() {
        if (h != NULL && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

BOOL arm(HANDLE timer, LONGLONG due, LONG period = 0) {
    LARGE_INTEGER li;
    li.QuadPart = due;
    return SetWaitableTimer(timer, &li, period, NULL, NULL, FALSE);
}

TEST(Timer, SynchronisationTimerSignalsOnceAfterItsDueTime) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    // Never armed: not signalled.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 20));

    // Far in the future: still not signalled.
    ASSERT_TRUE(arm(t, 60000 * kMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));

    // Re-armed to a short due time: the wait ends with the expiry, and that one
    // successful wait consumes the signal.
    ASSERT_TRUE(arm(t, 30 * kMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 30));  // one-shot: no second expiry
}

TEST(Timer, NotificationTimerStaysSignalledUntilRearmed) {
    HANDLE t = CreateWaitableTimerA(NULL, TRUE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    ASSERT_TRUE(arm(t, 10 * kMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));

    // Cancelling stops future expiries but leaves the current state alone.
    ASSERT_TRUE(CancelWaitableTimer(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));

    // Setting it again makes it non-signalled until the new due time.
    ASSERT_TRUE(arm(t, 60000 * kMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
}

TEST(Timer, RearmingAFiredSynchronisationTimerClearsItsSignal) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    // Let a 1 ms timer expire without anyone waiting for it.
    ASSERT_TRUE(arm(t, kMs));
    Sleep(200);
    ASSERT_TRUE(arm(t, 60000 * kMs));
    if (platform_is_wine()) {
        // Wine 8 clears the signal on re-arming only for notification timers: the
        // expiry from before the re-arm is still there and lets one wait through.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    } else {
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    }
}

TEST(Timer, CancelStopsAPendingExpiry) {
    HANDLE t = CreateWaitableTimerA(NULL, TRUE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    ASSERT_TRUE(arm(t, 100 * kMs));
    ASSERT_TRUE(CancelWaitableTimer(t));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 400));
    // A cancelled timer can be armed again.
    ASSERT_TRUE(arm(t, 10 * kMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
}

TEST(Timer, PeriodicTimerKeepsExpiring) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    ASSERT_TRUE(arm(t, 10 * kMs, 20));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000)) << "expiry " << i;
    ASSERT_TRUE(CancelWaitableTimer(t));
}

// Due times in the past, and absolute FILETIMEs (100-ns units since 1601, UTC).
TEST(Timer, AbsoluteDueTimes) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    // 0 is an absolute time long past: the timer expires at once.
    ASSERT_TRUE(arm(t, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));

    // One to two seconds from now on the system clock.
    const LONGLONG unix_to_filetime = 11644473600LL;
    LONGLONG due = ((LONGLONG)time(NULL) + 2 + unix_to_filetime) * 10000000LL;
    ASSERT_TRUE(arm(t, due));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
}

struct WaitArgs {
    HANDLE timer;
    std::atomic<int> started{0};
};

DWORD WINAPI wait_for_timer(LPVOID p) {
    WaitArgs *a = static_cast<WaitArgs *>(p);
    a->started = 1;
    return WaitForSingleObject(a->timer, 20000);
}

TEST(Timer, RearmingMovesTheDueTimeOfCurrentWaiters) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};
    ASSERT_TRUE(arm(t, 600000 * kMs));

    WaitArgs args;
    args.timer = t;
    HANDLE th = CreateThread(NULL, 0, wait_for_timer, &args, 0, NULL);
    ASSERT_NE((HANDLE)NULL, th);
    HandleGuard gt{th};
    while (!args.started) Sleep(1);

    // Whether the waiter is already blocked or not, it must be let through by
    // the new, early due time and not by its own 20 s limit.
    ASSERT_TRUE(arm(t, 20 * kMs));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, 15000));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(WAIT_OBJECT_0, code);
}

TEST(Timer, BadInput) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    LARGE_INTEGER li;
    li.QuadPart = 10 * kMs;
    SetLastError(0);
    if (platform_is_wine()) {
        // Wine 8 accepts a negative period, which Windows documents as a failure.
        EXPECT_TRUE(SetWaitableTimer(t, &li, -1, NULL, NULL, FALSE));
        EXPECT_TRUE(CancelWaitableTimer(t));
    } else {
        EXPECT_FALSE(SetWaitableTimer(t, &li, -1, NULL, NULL, FALSE));
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    }

    SetLastError(0);
    EXPECT_FALSE(SetWaitableTimer(INVALID_HANDLE_VALUE, &li, 0, NULL, NULL, FALSE));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(SetWaitableTimer((HANDLE)(intptr_t)0x7ff0, &li, 0, NULL, NULL, FALSE));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CancelWaitableTimer((HANDLE)(intptr_t)0x7ff0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    // A timer handle that was closed is no longer a timer.
    HANDLE gone = CreateWaitableTimerA(NULL, TRUE, NULL);
    ASSERT_NE((HANDLE)NULL, gone);
    ASSERT_TRUE(CloseHandle(gone));
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(gone, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(gone));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST(Sleep, WaitsAtLeastRoughlyTheGivenTime) {
    Sleep(0);  // gives up the time slice and returns
    auto start = std::chrono::steady_clock::now();
    Sleep(100);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // Windows may end a sleep up to one clock tick (about 16 ms) early.
    EXPECT_GE(ms, 80);
}

}  // namespace
