// Bounded lock, unlock and overlapped waits on one byte of a work file.
#include "fsprim/fsprim.h"
#include "single/call_faults.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

const char kTimeoutLine[] = "処理待機時間がタイムアウト時間を超えました。";

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A work file with two overlapped handles on it, the caller's event and timer,
// and the report going to a log file of the test's own.
class TimedLock : public ::testing::Test {
  protected:
    void SetUp() override {
        log_ = dir_.file("report.log");
        ASSERT_EQ(0, open_report_log(log_.c_str()));
        path_ = dir_.file(".#KAVLOCK.0");
        for (HANDLE &h : handles_) {
            h = open_share_file(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                OPEN_ALWAYS);
            ASSERT_NE(INVALID_HANDLE_VALUE, h);
        }
        event_ = CreateEventA(NULL, FALSE, FALSE, NULL);
        timer_ = CreateWaitableTimerA(NULL, FALSE, NULL);
        ASSERT_NE(nullptr, event_);
        ASSERT_NE(nullptr, timer_);
        memset(&ctx_, 0, sizeof ctx_);
        ctx_.timeout = 1;
    }
    void TearDown() override {
        sys_calls_reset();
        for (HANDLE h : handles_)
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (event_ != nullptr) CloseHandle(event_);
        if (timer_ != nullptr) CloseHandle(timer_);
        open_report_log("");
    }
    std::string report() { return kavtest::read_file(log_); }
    // Whether a fresh handle can take the byte exclusively right now (it gives it back).
    bool byte_free() {
        HANDLE h = open_share_file(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_EXISTING);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        OVERLAPPED ov = {};
        bool free = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov) != FALSE;
        CloseHandle(h);
        return free;
    }

    kavtest::TempDir dir_;
    std::string log_, path_;
    HANDLE handles_[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    HANDLE event_ = nullptr, timer_ = nullptr;
    CheckContext ctx_;
};

TEST_F(TimedLock, RefusedNonWaitingLockIsSilentOrReportedAsAsked) {
    CheckError error = {77, 77};
    ASSERT_EQ(0, lock_range_timed(&ctx_, handles_[0], event_, timer_, 1, 0, &error, 1));
    EXPECT_EQ(0, error.code);
    EXPECT_EQ(0u, error.os_error);

    // Silent refusal: the caller reads the lock call's error from the last error.
    CheckError untouched = {77, 77};
    EXPECT_EQ(-1, lock_range_timed(&ctx_, handles_[1], event_, timer_, 1, 0, &untouched, 0));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, GetLastError());
    EXPECT_EQ(77, untouched.code);
    EXPECT_EQ(77u, untouched.os_error);
    EXPECT_EQ("", report());

    // Reported refusals: 15 for exclusive, 16 for shared, with the system's code.
    EXPECT_EQ(-1, lock_range_timed(&ctx_, handles_[1], event_, timer_, 1, 0, &error, 1));
    EXPECT_EQ(15, error.code);
    EXPECT_EQ((uint32_t)ERROR_LOCK_VIOLATION, error.os_error);
    EXPECT_EQ(-1, lock_range_timed(&ctx_, handles_[1], event_, timer_, 0, 0, &error, 1));
    EXPECT_EQ(16, error.code);
    EXPECT_EQ((uint32_t)ERROR_LOCK_VIOLATION, error.os_error);
    const std::string text = report();
    EXPECT_NE(std::string::npos, text.find("        ! 排他ロックの非待機取得に失敗しました。 ERRORCODE=33("));
    EXPECT_NE(std::string::npos, text.find("        ! 共有ロックの非待機取得に失敗しました。 ERRORCODE=33("));
}

TEST_F(TimedLock, SharedOverSharedIsGrantedAtOnce) {
    CheckError error = {77, 77};
    ASSERT_EQ(0, lock_range_timed(&ctx_, handles_[0], event_, timer_, 0, 1, &error, 1));
    EXPECT_EQ(0, lock_range_timed(&ctx_, handles_[1], event_, timer_, 0, 1, &error, 1));
    EXPECT_EQ(0, error.code);
    EXPECT_EQ(0u, error.os_error);
    EXPECT_FALSE(byte_free());
    EXPECT_EQ(0, unlock_range_timed(&ctx_, handles_[0], event_, timer_, &error));
    EXPECT_EQ(0, unlock_range_timed(&ctx_, handles_[1], event_, timer_, &error));
    EXPECT_TRUE(byte_free());
    EXPECT_EQ("", report());
}

TEST_F(TimedLock, UnlockingAByteNotHeldReportsTheSystemsCode) {
    CheckError error = {0, 0};
    EXPECT_EQ(-1, unlock_range_timed(&ctx_, handles_[0], event_, timer_, &error));
    EXPECT_EQ(10, error.code);
    // Windows answers ERROR_NOT_LOCKED; Wine answers ERROR_LOCK_VIOLATION for a range not held.
    EXPECT_EQ(platform_is_wine() ? (uint32_t)ERROR_LOCK_VIOLATION : (uint32_t)ERROR_NOT_LOCKED, error.os_error);
    EXPECT_NE(std::string::npos, report().find("        ! ロックの開放に失敗しました。 ERRORCODE="));
}

TEST_F(TimedLock, WaitingLockThatNeverCompletesTimesOutAndHoldsNothing) {
    CheckError error = {0, 0};
    ASSERT_EQ(0, lock_range_timed(&ctx_, handles_[0], event_, timer_, 1, 1, &error, 1));
    const Clock::time_point start = Clock::now();
    const int r = lock_range_timed(&ctx_, handles_[1], event_, timer_, 1, 1, &error, 0);
    if (platform_is_wine()) {
        // Wine answers the waiting request with ERROR_IO_PENDING but never queues it, and its
        // GetOverlappedResult then reports success at once: the call returns 0 without the lock.
        EXPECT_EQ(0, r);
        CheckError unlock_error = {0, 0};
        EXPECT_EQ(-1, unlock_range_timed(&ctx_, handles_[1], event_, timer_, &unlock_error));
        return;
    }
    EXPECT_EQ(-1, r);
    EXPECT_EQ(22, error.code);
    EXPECT_EQ(0u, error.os_error);
    EXPECT_GE(ms_since(start), 900);  // whole timeout of 1 s, polled
    EXPECT_NE(std::string::npos, report().find(std::string("        ! ") + kTimeoutLine + "\r\n"));
    // The request was withdrawn: once the holder lets go, the byte is free, not granted late.
    CheckError release = {0, 0};
    ASSERT_EQ(0, unlock_range_timed(&ctx_, handles_[0], event_, timer_, &release));
    EXPECT_TRUE(byte_free());
}

TEST_F(TimedLock, WaitingExclusiveIsGrantedSoonAfterTheSharedHolderLetsGo) {
    CheckError error = {0, 0};
    ASSERT_EQ(0, lock_range_timed(&ctx_, handles_[0], event_, timer_, 0, 1, &error, 1));
    HANDLE waiter_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(nullptr, waiter_event);
    OVERLAPPED ov = {};
    ov.hEvent = waiter_event;
    ASSERT_EQ(-2, lock_range(handles_[1], 1, &ov));
    ctx_.timeout = 3;
    const LONGLONG due = timeout_due_time(ctx_.timeout);
    if (platform_is_wine()) {
        // Wine never queues the request: its GetOverlappedResult reports success at once
        // although the lock is not taken, so the holder still holds it alone.
        EXPECT_EQ(0, wait_overlapped_timed(handles_[1], &ov, timer_, due));
        OVERLAPPED probe = {};
        EXPECT_FALSE(LockFileEx(handles_[1], LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &probe));
        CloseHandle(waiter_event);
        return;
    }
    ASSERT_EQ(0, unlock_range_timed(&ctx_, handles_[0], event_, timer_, &error));
    const Clock::time_point released = Clock::now();
    EXPECT_EQ(0, wait_overlapped_timed(handles_[1], &ov, timer_, due));
    EXPECT_LT(ms_since(released), 1500);  // polled every 100 ms; far below the 3 s due time
    EXPECT_FALSE(byte_free());
    EXPECT_EQ(0, unlock_range_timed(&ctx_, handles_[1], event_, timer_, &error));
    CloseHandle(waiter_event);
}

// A timer that cannot be read ends both waits at once, with its error, and neither
// leaves its request queued: once the holder lets go the byte is free, not granted.
TEST_F(TimedLock, UnreadableTimerWithdrawsTheRequestItWaitedFor) {
    if (platform_is_wine()) GTEST_SKIP() << "Wine never queues a waiting request on an overlapped handle";
    CheckError error = {0, 0};
    ASSERT_EQ(0, lock_range_timed(&ctx_, handles_[0], event_, timer_, 1, 1, &error, 1));
    fail_call<&SysCalls::wait_for_single_object>(1, true, ERROR_INVALID_HANDLE, (DWORD)WAIT_FAILED);
    EXPECT_EQ(-1, lock_range_timed(&ctx_, handles_[1], event_, timer_, 1, 1, &error, 1));
    EXPECT_EQ(13, error.code);
    EXPECT_EQ((uint32_t)ERROR_INVALID_HANDLE, error.os_error);
    static OVERLAPPED ov;  // outlives the test should the wait leave it queued
    memset(&ov, 0, sizeof ov);
    ov.hEvent = event_;
    ASSERT_EQ(-2, lock_range(handles_[1], 1, &ov));
    EXPECT_EQ(-1, wait_overlapped_timed(handles_[1], &ov, timer_, timeout_due_time(1)));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_NE((ULONG_PTR)STATUS_PENDING, ov.Internal) << "-1 for an operation still outstanding";
    ASSERT_EQ(0, unlock_range_timed(&ctx_, handles_[0], event_, timer_, &error));
    EXPECT_TRUE(byte_free());
}

// A request record that the system never completes: Windows and our layer rewrite
// Internal themselves on a pending call, Wine leaves STATUS_PENDING in place.
TEST_F(TimedLock, OverlappedWaitEndsAtTheDueTimeAndNotBefore) {
    CheckError error = {0, 0};
    ASSERT_EQ(0, lock_range_timed(&ctx_, handles_[0], event_, timer_, 1, 1, &error, 1));
    // Lives to the end of the process: the request may still be outstanding when the test ends.
    static OVERLAPPED pending;
    memset(&pending, 0, sizeof pending);
    pending.Internal = STATUS_PENDING;
    ASSERT_EQ(-2, lock_range(handles_[1], 1, &pending));

    // An earlier wait whose timer fired later, unobserved, must not cut the next wait short.
    OVERLAPPED done = {};
    EXPECT_EQ(0, wait_overlapped_timed(handles_[1], &done, timer_, -2000000LL));  // 200 ms
    // A second timer armed later with the same due time fires no earlier: once it has, the
    // first one has fired too, and nobody has taken its signal.
    HANDLE later = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE(nullptr, later);
    LARGE_INTEGER due;
    due.QuadPart = -2000000LL;
    ASSERT_TRUE(SetWaitableTimer(later, &due, 0, NULL, NULL, FALSE));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(later, 5000));
    CloseHandle(later);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(-3, wait_overlapped_timed(handles_[1], &pending, timer_, timeout_due_time(1)));
    EXPECT_GE(ms_since(start), 900);
    EXPECT_EQ("", report());  // reports nothing itself
    CancelIoEx(handles_[1], &pending);
}

}  // namespace
