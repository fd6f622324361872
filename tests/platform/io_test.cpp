// ReadFile, WriteFile, GetOverlappedResult, FlushFileBuffers and SetFilePointer, as
// Windows documents them for overlapped and synchronous handles.
#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/testsupport.h"

#include <string>

namespace {

const DWORD RW = GENERIC_READ | GENERIC_WRITE;
const DWORD SHARE_RW = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD kErrorNegativeSeek = 131;

HANDLE open_file(const std::string &name, DWORD access, DWORD flags = 0, DWORD disposition = OPEN_ALWAYS) {
    return CreateFileA(name.c_str(), access, SHARE_RW, NULL, disposition, flags, NULL);
}

// Runs one overlapped request to its end, accepting both synchronous completion and
// ERROR_IO_PENDING; returns 0 and the byte count, or the request's error.
DWORD finish(HANDLE h, BOOL started, OVERLAPPED *ov, DWORD *n) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return GetLastError();
    SetLastError(0);
    return GetOverlappedResult(h, ov, n, TRUE) ? 0 : GetLastError();
}

TEST(OverlappedIo, ReadAndWriteAtTheRecordsOffset) {
    kavtest::TempDir dir;
    HANDLE h = open_file(dir.file("o"), RW, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = ev;
    ov.Offset = 10;
    DWORD n = 0;
    ASSERT_EQ(0u, finish(h, WriteFile(h, "hello", 5, NULL, &ov), &ov, &n));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, 0));  // completion signals the event
    // The file pointer of an overlapped handle stays where it was.
    EXPECT_EQ(0u, SetFilePointer(h, 0, NULL, FILE_CURRENT));
    // Offset 0xFFFFFFFF:0xFFFFFFFF writes at the end.
    ov.Offset = ov.OffsetHigh = 0xFFFFFFFF;
    ASSERT_EQ(0u, finish(h, WriteFile(h, "!", 1, NULL, &ov), &ov, &n));
    EXPECT_EQ(16u, SetFilePointer(h, 0, NULL, FILE_END));

    char buf[8] = {};
    ov = OVERLAPPED();
    ov.hEvent = ev;
    ov.Offset = 12;
    ASSERT_EQ(0u, finish(h, ReadFile(h, buf, 4, NULL, &ov), &ov, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(std::string("llo!"), std::string(buf, 4));
    // A read past the end fails with ERROR_HANDLE_EOF, at once or on completion.
    ov = OVERLAPPED();
    ov.hEvent = ev;
    ov.Offset = 100;
    EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, finish(h, ReadFile(h, buf, 4, &n, &ov), &ov, &n));
    // Without a record an overlapped handle has no position to use.
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h, buf, 4, &n, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(ev);
    CloseHandle(h);
}

TEST(OverlappedIo, RequestWithoutEventSignalsTheHandle) {
    kavtest::TempDir dir;
    HANDLE h = open_file(dir.file("o"), RW, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    OVERLAPPED ov = {};
    DWORD n = 0;
    ASSERT_EQ(0u, finish(h, WriteFile(h, "abc", 3, NULL, &ov), &ov, &n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
    CloseHandle(h);
}

TEST(SynchronousIo, RecordGivesOffsetAndMovesThePointer) {
    kavtest::TempDir dir;
    HANDLE h = open_file(dir.file("s"), RW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD n = 0;
    OVERLAPPED ov = {};
    ov.Offset = 10;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, &ov));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(15u, SetFilePointer(h, 0, NULL, FILE_CURRENT));
    char buf[8];
    ov = OVERLAPPED();
    ov.Offset = 40;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, &ov));
    EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, GetLastError());
    EXPECT_EQ(0u, n);
    // A plain read at the end succeeds with nothing read.
    ASSERT_EQ(15u, SetFilePointer(h, 0, NULL, FILE_END));
    n = 99;
    EXPECT_TRUE(ReadFile(h, buf, 4, &n, NULL));
    EXPECT_EQ(0u, n);
    CloseHandle(h);
}

TEST(SynchronousIo, AppendingLikeTheLogFile) {
    kavtest::TempDir dir;
    const std::string name = dir.file("log.txt");
    for (const char *line : {"first\r\n", "second\r\n"}) {
        HANDLE h = CreateFileA(name.c_str(), RW, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        ASSERT_NE(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, NULL, FILE_END));
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, line, (DWORD)strlen(line), &n, NULL));
        EXPECT_EQ(strlen(line), n);
        EXPECT_TRUE(FlushFileBuffers(h));
        ASSERT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ("first\r\nsecond\r\n", kavtest::read_file(name));
}

TEST(SynchronousIo, FilePointerMoves) {
    kavtest::TempDir dir;
    HANDLE h = open_file(dir.file("p"), RW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, NULL));
    EXPECT_EQ(7u, SetFilePointer(h, -3, NULL, FILE_END));
    EXPECT_EQ(9u, SetFilePointer(h, 2, NULL, FILE_CURRENT));
    EXPECT_EQ(4u, SetFilePointer(h, 4, NULL, FILE_BEGIN));
    SetLastError(0);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -20, NULL, FILE_END));
    EXPECT_EQ(kErrorNegativeSeek, GetLastError());
    EXPECT_EQ(4u, SetFilePointer(h, 0, NULL, FILE_CURRENT));  // unchanged by the failure
    LONG high = 1;
    EXPECT_EQ(5u, SetFilePointer(h, 5, &high, FILE_BEGIN));  // 4 GiB + 5
    EXPECT_EQ(1, high);
    high = 0;
    EXPECT_EQ(0u, SetFilePointer(h, 0, &high, FILE_BEGIN));
    SetLastError(0);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, NULL, 7));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(h);
}

TEST(FileAccess, CallsNeedTheRightAccessAndAValidHandle) {
    kavtest::TempDir dir;
    const std::string name = dir.file("a");
    HANDLE rw = open_file(name, RW);
    ASSERT_NE(INVALID_HANDLE_VALUE, rw);
    HANDLE ro = open_file(name, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, ro);
    HANDLE wo = open_file(name, GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, wo);
    char buf[4] = "abc";
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(ro, buf, 3, &n, NULL));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ReadFile(wo, buf, 3, &n, NULL));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(FlushFileBuffers(ro));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(FlushFileBuffers(wo));
    EXPECT_TRUE(WriteFile(wo, buf, 3, &n, NULL));
    EXPECT_TRUE(ReadFile(ro, buf, 3, &n, NULL));
    EXPECT_EQ(3u, n);

    HANDLE bad = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff4));
    SetLastError(0);
    EXPECT_FALSE(ReadFile(bad, buf, 3, &n, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(WriteFile(bad, buf, 3, &n, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(FlushFileBuffers(bad));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(bad, 0, NULL, FILE_END));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    // An event is not a file.
    HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
    SetLastError(0);
    EXPECT_FALSE(WriteFile(ev, buf, 3, &n, NULL));
    EXPECT_NE((DWORD)0, GetLastError());
    CloseHandle(ev);
    CloseHandle(rw);
    CloseHandle(ro);
    CloseHandle(wo);
}

TEST(OverlappedResult, ReportsTheRecordsStatus) {
    kavtest::TempDir dir;
    HANDLE h = open_file(dir.file("r"), RW, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    OVERLAPPED ov = {};
    DWORD n = 0;
    ov.Internal = 0x103;  // STATUS_PENDING
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, GetLastError());
    ov.Internal = 0;
    ov.InternalHigh = 42;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(42u, n);
    ov.Internal = 0xC0000011;  // STATUS_END_OF_FILE
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, GetLastError());
    CloseHandle(h);
}

}  // namespace
