// Byte-range locks of LockFileEx/UnlockFileEx as Windows documents them: locks
// belong to the handle, a waiting request on an overlapped handle stays pending until
// granted or cancelled, and a synchronous handle blocks.
#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/testsupport.h"

#include <atomic>
#include <string>
#include <thread>

namespace {

const DWORD RW = GENERIC_READ | GENERIC_WRITE;
const DWORD SHARE_RW = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD EXCL = LOCKFILE_EXCLUSIVE_LOCK;
const DWORD NOW = LOCKFILE_FAIL_IMMEDIATELY;
const ULONG_PTR kStatusPending = 0x103;
const ULONG_PTR kStatusCancelled = 0xC0000120;
const DWORD kWaitMs = 5000;  // generous bound for a grant that must come

// A lock file with several handles on it, each a separate owner.
class Locks : public ::testing::Test {
  protected:
    HANDLE open(DWORD flags = 0) {
        HANDLE h = CreateFileA(dir.file("lock").c_str(), RW, SHARE_RW, NULL, OPEN_ALWAYS, flags, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        return h;
    }
    // LockFileEx on [off, off+len); returns 0 on success, else the last error.
    static DWORD lock(HANDLE h, DWORD flags, uint64_t off, DWORD len) {
        OVERLAPPED ov = {};
        ov.Offset = (DWORD)off;
        ov.OffsetHigh = (DWORD)(off >> 32);
        SetLastError(0);
        return LockFileEx(h, flags, 0, len, 0, &ov) ? 0 : GetLastError();
    }
    static DWORD unlock(HANDLE h, uint64_t off, DWORD len) {
        OVERLAPPED ov = {};
        ov.Offset = (DWORD)off;
        ov.OffsetHigh = (DWORD)(off >> 32);
        SetLastError(0);
        return UnlockFileEx(h, 0, len, 0, &ov) ? 0 : GetLastError();
    }
    // The error of an unlock that matches no lock of the handle.
    static DWORD not_locked() {
        // Wine difference: Wine answers ERROR_LOCK_VIOLATION (33) instead of ERROR_NOT_LOCKED.
        return platform_is_wine() ? ERROR_LOCK_VIOLATION : ERROR_NOT_LOCKED;
    }
    kavtest::TempDir dir;
};

TEST_F(Locks, ConflictsBetweenHandlesOfOneProcess) {
    HANDLE a = open(), b = open();
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 10));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, 5, 1));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, NOW, 9, 1));
    EXPECT_EQ(0u, lock(b, EXCL | NOW, 10, 1));  // adjacent, no overlap
    // Shared locks of different handles coexist; an exclusive request meets them.
    ASSERT_EQ(0u, lock(a, NOW, 20, 4));
    EXPECT_EQ(0u, lock(b, NOW, 22, 4));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, 20, 1));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, 25, 1));
    // Locks beyond the end of the file and at 64-bit offsets work and conflict alike.
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0x100000000ULL, 10));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, NOW, 0x100000005ULL, 1));
    // A handle's locks end with it.
    ASSERT_TRUE(CloseHandle(a));
    EXPECT_EQ(0u, lock(b, EXCL | NOW, 0, 10));
    EXPECT_EQ(0u, lock(b, EXCL | NOW, 0x100000000ULL, 10));
    CloseHandle(b);
}

TEST_F(Locks, SameHandleRulesAndExactUnlock) {
    HANDLE a = open(), b = open();
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 10));
    // An exclusive lock overlaps nothing, not even the same handle's own lock...
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, 0, 10));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, 5, 10));
    // ...but the owner may add a shared lock over it; then two unlocks are needed and
    // the first removes the exclusive one.
    ASSERT_EQ(0u, lock(a, NOW, 0, 10));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, NOW, 0, 1));
    ASSERT_EQ(0u, unlock(a, 0, 10));
    EXPECT_EQ(0u, lock(b, NOW, 0, 1));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, 5, 1));
    ASSERT_EQ(0u, unlock(a, 0, 10));
    EXPECT_EQ(not_locked(), unlock(a, 0, 10));
    ASSERT_EQ(0u, unlock(b, 0, 1));
    // Unlocks name exactly one lock: no part of it, no span over two adjacent locks.
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 20, 10));
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 30, 10));
    EXPECT_EQ(not_locked(), unlock(a, 20, 5));
    EXPECT_EQ(not_locked(), unlock(a, 20, 20));
    EXPECT_EQ(not_locked(), unlock(b, 20, 10));  // another handle's lock
    EXPECT_EQ(0u, unlock(a, 30, 10));
    EXPECT_EQ(0u, unlock(a, 20, 10));
    EXPECT_EQ(0u, lock(b, EXCL | NOW, 20, 20));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Locks, ZeroLengthLockSitsAtItsOffset) {
    HANDLE a = open();
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 100, 0));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, 98, 4));
    EXPECT_EQ(0u, lock(a, EXCL | NOW, 90, 10));
    if (platform_is_wine()) {
        // Wine difference: a range that starts at the zero-length lock does not meet it.
        EXPECT_EQ(0u, lock(a, EXCL | NOW, 100, 10));
    } else {
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, 100, 10));
    }
    CloseHandle(a);
}

TEST_F(Locks, BadArguments) {
    HANDLE a = open();
    OVERLAPPED ov = {};
    SetLastError(0);
    EXPECT_FALSE(LockFileEx(a, EXCL | NOW, 1, 1, 0, &ov));  // reserved must be 0
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(UnlockFileEx(a, 1, 1, 0, &ov));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    ov.Offset = ov.OffsetHigh = 0xFFFFFFFF;  // a range that wraps past 2^64
    SetLastError(0);
    EXPECT_FALSE(LockFileEx(a, EXCL | NOW, 0, 2, 0, &ov));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    ov = OVERLAPPED();
    HANDLE bad = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0));
    SetLastError(0);
    EXPECT_FALSE(LockFileEx(bad, EXCL | NOW, 0, 1, 0, &ov));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(UnlockFileEx(bad, 0, 1, 0, &ov));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CancelIoEx(bad, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(a);
}

TEST_F(Locks, FailImmediatelyOnOverlappedHandleNeverPends) {
    HANDLE a = open(FILE_FLAG_OVERLAPPED), b = open(FILE_FLAG_OVERLAPPED);
    ASSERT_EQ(0u, lock(a, NOW, 0, 1));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, 0, 1));
    EXPECT_EQ(0u, lock(b, NOW, 0, 1));
    CloseHandle(a);
    CloseHandle(b);
}

// A waiting exclusive request of b on byte 0, which a holds; returns FALSE/997.
struct Pending {
    explicit Pending(HANDLE file) : h(file) {
        event = CreateEventA(NULL, TRUE, TRUE, NULL);  // signalled: the request must reset it
        ov.hEvent = event;
        SetLastError(0);
        result = LockFileEx(h, EXCL, 0, 1, 0, &ov);
        error = GetLastError();
    }
    ~Pending() { CloseHandle(event); }
    HANDLE h;
    HANDLE event;
    OVERLAPPED ov = {};
    BOOL result;
    DWORD error;
};

TEST_F(Locks, PendingRequestIsGrantedWhenTheHolderUnlocks) {
    HANDLE a = open(FILE_FLAG_OVERLAPPED), b = open(FILE_FLAG_OVERLAPPED), c = open(FILE_FLAG_OVERLAPPED);
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 1));
    Pending p(b);
    ASSERT_FALSE(p.result);
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, p.error);
    DWORD n = 0;
    if (platform_is_wine()) {
        // Wine difference: nothing is queued. The record and the event stay as they were,
        // GetOverlappedResult reports success at once, and the lock is never taken:
        // another handle can lock the byte once the holder lets it go.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.event, 0));
        EXPECT_TRUE(GetOverlappedResult(b, &p.ov, &n, FALSE));
        ASSERT_EQ(0u, unlock(a, 0, 1));
        EXPECT_EQ(0u, lock(c, EXCL | NOW, 0, 1));
    } else {
        EXPECT_EQ(kStatusPending, p.ov.Internal);
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(p.event, 0));
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(b, &p.ov, &n, FALSE));
        EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, GetLastError());
        ASSERT_EQ(0u, unlock(a, 0, 1));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.event, kWaitMs));
        EXPECT_EQ(0u, p.ov.Internal);
        EXPECT_TRUE(GetOverlappedResult(b, &p.ov, &n, FALSE));
        // b holds the byte now, and releases it like any other lock.
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(c, EXCL | NOW, 0, 1));
        EXPECT_EQ(0u, unlock(b, 0, 1));
        EXPECT_EQ(0u, lock(c, EXCL | NOW, 0, 1));
    }
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(c);
}

TEST_F(Locks, PendingRequestIsGrantedWhenTheHolderCloses) {
    if (platform_is_wine()) GTEST_SKIP() << "Wine difference: a pending overlapped lock is never granted";
    HANDLE a = open(FILE_FLAG_OVERLAPPED), b = open(FILE_FLAG_OVERLAPPED), c = open(FILE_FLAG_OVERLAPPED);
    ASSERT_EQ(0u, lock(a, NOW, 0, 1));  // shared is enough to keep an exclusive request waiting
    Pending p(b);
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, p.error);
    ASSERT_TRUE(CloseHandle(a));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(b, &p.ov, &n, TRUE));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(c, NOW, 0, 1));
    CloseHandle(b);
    CloseHandle(c);
}

TEST_F(Locks, PendingRequestEndsCancelledWhenItsHandleCloses) {
    if (platform_is_wine()) GTEST_SKIP() << "Wine difference: a pending overlapped lock is never queued";
    HANDLE a = open(FILE_FLAG_OVERLAPPED), b = open(FILE_FLAG_OVERLAPPED), c = open(FILE_FLAG_OVERLAPPED);
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 1));
    Pending p(b);
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, p.error);
    ASSERT_TRUE(CloseHandle(b));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.event, kWaitMs));
    EXPECT_EQ(kStatusCancelled, p.ov.Internal);
    // The handle is gone; the record alone tells the outcome.
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(b, &p.ov, &n, FALSE));
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, GetLastError());
    // The cancelled request took nothing: after the holder lets go the byte is free.
    ASSERT_EQ(0u, unlock(a, 0, 1));
    EXPECT_EQ(0u, lock(c, EXCL | NOW, 0, 1));
    CloseHandle(a);
    CloseHandle(c);
}

TEST_F(Locks, CancelIoExEndsThePendingRequest) {
    HANDLE a = open(FILE_FLAG_OVERLAPPED), b = open(FILE_FLAG_OVERLAPPED);
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 1));
    Pending p(b);
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, p.error);
    DWORD n = 0;
    if (platform_is_wine()) {
        // Wine difference: no request was registered, so there is nothing to cancel.
        SetLastError(0);
        EXPECT_FALSE(CancelIoEx(b, &p.ov));
        EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    } else {
        ASSERT_TRUE(CancelIoEx(b, &p.ov));
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(b, &p.ov, &n, TRUE));
        EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, GetLastError());
        SetLastError(0);
        EXPECT_FALSE(CancelIoEx(b, &p.ov));  // nothing left to cancel
        EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, 0, 1));  // a still holds it
    }
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Locks, SynchronousHandleBlocksUntilGranted) {
    HANDLE a = open(), b = open();
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 1));
    std::atomic<bool> calling{false}, released{false}, granted_after_release{false};
    std::atomic<DWORD> result{0xdead};
    std::thread waiter([&] {
        calling = true;
        result = lock(b, EXCL, 0, 1);
        granted_after_release = released.load();
    });
    while (!calling.load()) std::this_thread::yield();
    // Ordered, not timed: a request that did not block has returned before the release.
    released = true;
    ASSERT_EQ(0u, unlock(a, 0, 1));
    waiter.join();
    EXPECT_EQ(0u, result.load());
    EXPECT_TRUE(granted_after_release.load());
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, NOW, 0, 1));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Locks, ReadsAndWritesHonourOtherHandlesLocks) {
    HANDLE a = open(), b = open();
    DWORD n = 0;
    char buf[16] = "0123456789abcde";
    ASSERT_TRUE(WriteFile(a, buf, 16, &n, NULL));
    ASSERT_EQ(0u, lock(a, EXCL | NOW, 0, 4));
    ASSERT_EQ(0u, lock(a, NOW, 8, 4));
    OVERLAPPED at0 = {}, at8 = {}, at12 = {};
    at8.Offset = 8;
    at12.Offset = 12;
    // The exclusive holder reads and writes its range; shared locks keep even their
    // owner from writing.
    EXPECT_TRUE(ReadFile(a, buf, 4, &n, &at0));
    EXPECT_TRUE(WriteFile(a, buf, 4, &n, &at0));
    EXPECT_TRUE(ReadFile(b, buf, 4, &n, &at8));
    EXPECT_TRUE(WriteFile(b, buf, 4, &n, &at12));
    SetLastError(0);
    BOOL read_locked = ReadFile(b, buf, 4, &n, &at0);
    DWORD read_error = GetLastError();
    SetLastError(0);
    BOOL write_locked = WriteFile(b, buf, 4, &n, &at0);
    DWORD write_error = GetLastError();
    SetLastError(0);
    BOOL write_shared = WriteFile(a, buf, 4, &n, &at8);
    DWORD shared_error = GetLastError();
    if (platform_is_wine()) {
        // Wine difference: no mandatory locking; every read and write goes through.
        EXPECT_TRUE(read_locked);
        EXPECT_TRUE(write_locked);
        EXPECT_TRUE(write_shared);
    } else {
        EXPECT_FALSE(read_locked);
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, read_error);
        EXPECT_FALSE(write_locked);
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, write_error);
        EXPECT_FALSE(write_shared);
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, shared_error);
    }
    CloseHandle(a);
    CloseHandle(b);
}

}  // namespace
