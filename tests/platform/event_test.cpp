// Events and WaitForSingleObject, as Windows documents them.
#include <gtest/gtest.h>

#include "platform/win32.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A handle value that no call of this process has returned.
HANDLE never_opened() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ffc)); }

TEST(Event, AutoResetReleasesOneWaitAndDoesNotCount) {
    HANDLE e = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(SetEvent(e));  // a second set while signalled is not remembered
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    // ResetEvent clears a pending signal.
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 10));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(NULL, TRUE, TRUE, NULL);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, WaitEndsWhenAnotherThreadSets) {
    HANDLE e = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(nullptr, e);
    std::atomic<DWORD> result{0xdead};
    std::thread waiter([&] { result = WaitForSingleObject(e, INFINITE); });
    ASSERT_TRUE(SetEvent(e));
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
    // The waiter consumed the signal.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, AutoResetSetWakesOnlyOneOfTwoWaiters) {
    HANDLE e = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(nullptr, e);
    std::atomic<int> woken{0};
    auto body = [&] {
        if (WaitForSingleObject(e, 5000) == WAIT_OBJECT_0) ++woken;
    };
    std::thread a(body), b(body);
    ASSERT_TRUE(SetEvent(e));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (woken.load() == 0 && std::chrono::steady_clock::now() < deadline) Sleep(1);
    ASSERT_EQ(1, woken.load());
    // A second set releases the other waiter; had the first set released both, the
    // second would stay pending and be visible to this wait.
    ASSERT_TRUE(SetEvent(e));
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, WaitTimesOutOnUnsignalledEvent) {
    HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(nullptr, e);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, BadHandlesFailWithInvalidHandle) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(never_opened()));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(never_opened(), 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    HANDLE e = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(nullptr, e);
    ASSERT_NE(INVALID_HANDLE_VALUE, e);
    ASSERT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace
