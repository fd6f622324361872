// Threads (waitable handle, exit code, STILL_ACTIVE, thread ids, per-thread last
// error) and critical sections (recursive, mutually exclusive).
#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32.h"
#include "support/testsupport.h"

namespace {

using kavtest::HandleGuard;

struct Gate {
    std::atomic<int> started{0};
    std::atomic<int> go{0};
    std::atomic<int> finished{0};
    DWORD tid_seen = 0;
    DWORD error_at_start = 0xFFFF;
};

DWORD WINAPI gated(LPVOID p) {
    Gate *g = static_cast<Gate *>(p);
    g->tid_seen = GetCurrentThreadId();
    g->error_at_start = GetLastError();
    SetLastError(ERROR_ACCESS_DENIED);
    g->started = 1;
    while (!g->go) Sleep(1);
    g->finished = 1;
    return 0xC0DE;
}

TEST(Thread, HandleIsWaitableAndExitCodeReadable) {
    Gate g;
    DWORD tid = 0;
    HANDLE th = CreateThread(NULL, 0, gated, &g, 0, &tid);
    ASSERT_NE((HANDLE)NULL, th);
    HandleGuard guard{th};
    SetLastError(ERROR_SHARING_VIOLATION);
    while (!g.started) Sleep(1);

    // The id given back is the one the thread sees, not the caller's.
    EXPECT_NE(0u, tid);
    EXPECT_EQ(tid, g.tid_seen);
    EXPECT_NE(GetCurrentThreadId(), tid);

    // Running: not signalled, and the exit code says so.
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(th, 50));

    g.go = 1;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, 0));  // stays signalled
    ASSERT_TRUE(GetExitCodeThread(th, &code));
    EXPECT_EQ(0xC0DEu, code);

    // Each thread has its own last error, starting at 0.
    EXPECT_EQ(0u, g.error_at_start);
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
}

TEST(Thread, HandleClosedWhileThreadRuns) {
    Gate g;
    HANDLE th = CreateThread(NULL, 0, gated, &g, 0, NULL);
    ASSERT_NE((HANDLE)NULL, th);
    while (!g.started) Sleep(1);
    ASSERT_TRUE(CloseHandle(th));
    // The thread goes on without its handle and ends normally.
    g.go = 1;
    for (int i = 0; i < 10000 && !g.finished; ++i) Sleep(1);
    EXPECT_TRUE(g.finished);
}

TEST(Thread, BadInput) {
    HANDLE timer = CreateWaitableTimerA(NULL, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, timer);
    HandleGuard guard{timer};
    Gate g;
    g.go = 1;
    HANDLE closed = CreateThread(NULL, 0, gated, &g, 0, NULL);
    ASSERT_NE((HANDLE)NULL, closed);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(closed, 10000));
    ASSERT_TRUE(CloseHandle(closed));

    // Not a handle, a closed thread handle, a handle of another kind.
    for (HANDLE bad : {INVALID_HANDLE_VALUE, (HANDLE)(intptr_t)0x7ff0, closed, timer}) {
        DWORD code = 7;
        SetLastError(0);
        EXPECT_FALSE(GetExitCodeThread(bad, &code));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_EQ(7u, code);
    }
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(NULL, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

struct Shared {
    CRITICAL_SECTION cs;
    long counter = 0;
    std::atomic<int> entered{0};
};

DWORD WINAPI enter_once(LPVOID p) {
    Shared *s = static_cast<Shared *>(p);
    EnterCriticalSection(&s->cs);
    s->entered = 1;
    LeaveCriticalSection(&s->cs);
    return 0;
}

DWORD WINAPI add_many(LPVOID p) {
    Shared *s = static_cast<Shared *>(p);
    for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&s->cs);
        long v = s->counter;
        s->counter = v + 1;
        LeaveCriticalSection(&s->cs);
    }
    return 0;
}

TEST(CriticalSection, RecursiveForItsOwnerExclusiveForOthers) {
    Shared s;
    InitializeCriticalSection(&s.cs);
    EnterCriticalSection(&s.cs);
    EnterCriticalSection(&s.cs);  // the owner may enter again

    HANDLE th = CreateThread(NULL, 0, enter_once, &s, 0, NULL);
    ASSERT_NE((HANDLE)NULL, th);
    HandleGuard guard{th};
    LeaveCriticalSection(&s.cs);
    // Still held once: the other thread cannot get in and so cannot end.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(th, 100));
    EXPECT_EQ(0, s.entered.load());
    LeaveCriticalSection(&s.cs);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(th, 10000));
    EXPECT_EQ(1, s.entered.load());

    // Two threads updating under the section lose no update.
    HANDLE a = CreateThread(NULL, 0, add_many, &s, 0, NULL);
    HANDLE b = CreateThread(NULL, 0, add_many, &s, 0, NULL);
    HandleGuard ga{a}, gb{b};
    ASSERT_NE((HANDLE)NULL, a);
    ASSERT_NE((HANDLE)NULL, b);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 30000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 30000));
    EXPECT_EQ(40000, s.counter);
    DeleteCriticalSection(&s.cs);
}

}  // namespace
