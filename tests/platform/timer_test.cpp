// Waitable timers and Sleep, as Windows documents them: due times in 100-ns
// units (negative: relative), synchronisation timers consumed by one wait,
// notification timers signalled until re-armed, re-arming clears the signal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/win32.h"
#include "support/testsupport.h"

namespace {

using kavtest::HandleGuard;

constexpr LONGLONG kMs = -10000;  // one millisecond as a relative due time

BOOL arm(HANDLE timer, LONGLONG due, LONG period = 0) {
    LARGE_INTEGER li;
    li.QuadPart = due;
    return SetWaitableTimer(timer, &li, period, NULL, NULL, FALSE);
}

TEST(Timer, SynchronisationTimerLetsOneWaitThroughPerExpiry) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 20));  // never armed

    ASSERT_TRUE(arm(t, 60000 * kMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
    ASSERT_TRUE(arm(t, 30 * kMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 30));  // consumed, and one-shot

    ASSERT_TRUE(arm(t, 10 * kMs, 20));  // periodic
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000)) << "expiry " << i;
    ASSERT_TRUE(CancelWaitableTimer(t));
}

TEST(Timer, NotificationTimerStaysSignalledUntilRearmed) {
    HANDLE t = CreateWaitableTimerA(NULL, TRUE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    // Cancelled before its due time, it never fires.
    ASSERT_TRUE(arm(t, 1000 * kMs));
    ASSERT_TRUE(CancelWaitableTimer(t));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 1500));

    ASSERT_TRUE(arm(t, 10 * kMs));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));
    // Cancelling after the expiry leaves the signal; arming again clears it.
    ASSERT_TRUE(CancelWaitableTimer(t));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));
    ASSERT_TRUE(arm(t, 60000 * kMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
}

TEST(Timer, RearmingAFiredSynchronisationTimerClearsItsSignal) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    // A 1 ms timer expires, well within the sleep, without anyone waiting.
    ASSERT_TRUE(arm(t, kMs));
    Sleep(200);
    ASSERT_TRUE(arm(t, 60000 * kMs));
    if (platform_is_wine()) {
        // Wine 8 clears the signal on re-arming only for notification timers: the
        // expiry from before the re-arm still lets one wait through.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
}

TEST(Timer, AbsoluteDueTimes) {
    HANDLE t = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, t);
    HandleGuard g{t};

    // FILETIME 0 (1601) is long past: the timer expires at once.
    ASSERT_TRUE(arm(t, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));

    // Two seconds from now on the system clock: not signalled while the clock is
    // still before it (however slow the machine), signalled after.
    using Real = std::chrono::system_clock;
    const LONGLONG due = (std::chrono::duration_cast<std::chrono::seconds>(Real::now().time_since_epoch()).count() +
                          2 + 11644473600LL) * 10000000LL;
    auto now = [] { return (Real::now().time_since_epoch().count() / 100) + 11644473600LL * 10000000LL; };
    static_assert(std::ratio_equal<Real::period, std::nano>::value, "nanosecond system clock");
    ASSERT_TRUE(arm(t, due));
    const DWORD early = WaitForSingleObject(t, 0);
    if (now() < due) {
        EXPECT_EQ(WAIT_TIMEOUT, early);
    }
    EXPECT_EQ(WAIT_OBJECT_0, early == WAIT_OBJECT_0 ? early : WaitForSingleObject(t, 10000));
    EXPECT_GE(now(), due);
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

    // Blocked already or not, the waiter is let through by the new due time,
    // not by its own 20 s limit.
    ASSERT_TRUE(arm(t, 20 * kMs));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, 15000));
    DWORD code = 1;
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
    } else {
        EXPECT_FALSE(SetWaitableTimer(t, &li, -1, NULL, NULL, FALSE));
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    }

    HANDLE closed = CreateWaitableTimerA(NULL, TRUE, NULL);
    ASSERT_NE((HANDLE)NULL, closed);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE bad : {INVALID_HANDLE_VALUE, (HANDLE)(intptr_t)0x7ff0, closed}) {
        SetLastError(0);
        EXPECT_FALSE(SetWaitableTimer(bad, &li, 0, NULL, NULL, FALSE));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
        SetLastError(0);
        EXPECT_FALSE(CancelWaitableTimer(bad));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    }
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(closed, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST(Sleep, WaitsAtLeastRoughlyTheGivenTime) {
    Sleep(0);  // gives up the time slice and returns
    auto start = std::chrono::steady_clock::now();
    Sleep(100);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 80);  // Windows may end a sleep up to one clock tick early
}

}  // namespace
