// File primitives and work-file names.
#include "fsprim/fsprim.h"

#include <gtest/gtest.h>

#include <string>

#include "support/testsupport.h"

namespace {

using kavtest::HandleGuard;

const DWORD RW = GENERIC_READ | GENERIC_WRITE;
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string computer_name() {
    char name[256] = {0};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNamePhysicalDnsFullyQualified, name, &size)) return std::string();
    return name;
}

TEST(WorkFileName, KindTwoIsFolderPrefixAndNumber) {
    char out[WORK_NAME_MAX];
    memset(out, 0, sizeof out);
    ASSERT_EQ(0, make_work_file_name(2, "Z:\\share", 1, out));
    EXPECT_STREQ("Z:\\share\\.#KAVLOCK.1", out);
    ASSERT_EQ(0, make_work_file_name(2, "Z:\\share", -7, out));
    EXPECT_STREQ("Z:\\share\\.#KAVLOCK.-7", out);
}

TEST(WorkFileName, KindOneCarriesComputerNameAndProcessId) {
    std::string computer = computer_name();
    ASSERT_FALSE(computer.empty());
    char out[WORK_NAME_MAX];
    memset(out, 0, sizeof out);
    ASSERT_EQ(0, make_work_file_name(1, "C:\\t", 0, out));
    EXPECT_EQ("C:\\t\\.#KAVLOCK." + computer + "." + std::to_string((unsigned long)GetCurrentProcessId()) + ".0",
              std::string(out));
}

TEST(WorkFileName, OtherKindsLeaveTheOutputAlone) {
    char out[WORK_NAME_MAX];
    strcpy(out, "untouched");
    EXPECT_EQ(0, make_work_file_name(0, "C:\\t", 0, out));
    EXPECT_STREQ("untouched", out);
    EXPECT_EQ(0, make_work_file_name(3, "C:\\t", 0, out));
    EXPECT_STREQ("untouched", out);
}

// Fills the rest of the buffer after the name with a mark, so a write past the
// terminator shows.
struct MarkedBuffer {
    char bytes[WORK_NAME_MAX + 16];
    MarkedBuffer() { memset(bytes, 'M', sizeof bytes); }
    bool tail_intact() const {
        for (size_t i = WORK_NAME_MAX; i < sizeof bytes; ++i)
            if (bytes[i] != 'M') return false;
        return true;
    }
};

TEST(WorkFileName, KindTwoThatDoesNotFitIsEmptyNotCut) {
    // folder + "\.#KAVLOCK.1" is 12 bytes more than the folder.
    std::string fits(WORK_NAME_MAX - 1 - 12, 'f');
    std::string too_long(WORK_NAME_MAX - 12, 'f');
    MarkedBuffer a;
    ASSERT_EQ(0, make_work_file_name(2, fits.c_str(), 1, a.bytes));
    EXPECT_EQ(fits + "\\.#KAVLOCK.1", std::string(a.bytes));
    EXPECT_TRUE(a.tail_intact());
    MarkedBuffer b;
    EXPECT_EQ(-1, make_work_file_name(2, too_long.c_str(), 1, b.bytes));
    EXPECT_STREQ("", b.bytes);
    EXPECT_TRUE(b.tail_intact());
    // The other party's name for the same folder comes out the same way.
    MarkedBuffer c;
    EXPECT_EQ(-1, make_work_file_name(2, too_long.c_str(), 0, c.bytes));
    EXPECT_STREQ("", c.bytes);
}

TEST(WorkFileName, KindOneShortensTheComputerNameAndKeepsTheNumbers) {
    std::string computer = computer_name();
    ASSERT_FALSE(computer.empty());
    std::string tail = "." + std::to_string((unsigned long)GetCurrentProcessId()) + ".1";
    // Leaves room for exactly one byte of the computer name.
    size_t folder_len = WORK_NAME_MAX - 1 - (1 + 9 + 1 + 1 + tail.size());
    std::string folder(folder_len, 'f');
    MarkedBuffer one;
    MarkedBuffer zero;
    ASSERT_EQ(0, make_work_file_name(1, folder.c_str(), 1, one.bytes));
    ASSERT_EQ(0, make_work_file_name(1, folder.c_str(), 0, zero.bytes));
    std::string name = one.bytes;
    EXPECT_EQ(folder + "\\.#KAVLOCK." + computer.substr(0, 1) + tail, name);
    EXPECT_EQ((size_t)WORK_NAME_MAX - 1, name.size());
    EXPECT_STRNE(one.bytes, zero.bytes);
    EXPECT_TRUE(one.tail_intact());

    // No room at all for the numbers: empty, never cut.
    std::string huge(WORK_NAME_MAX - 5, 'f');
    MarkedBuffer none;
    EXPECT_EQ(-1, make_work_file_name(1, huge.c_str(), 1, none.bytes));
    EXPECT_STREQ("", none.bytes);
    EXPECT_TRUE(none.tail_intact());
}

TEST(OpenShareFile, OverlappedHandleReadsAndWritesAtTheRecordsOffset) {
    kavtest::TempDir dir;
    std::string name = dir.file("work");
    HandleGuard file;
    file.h = open_share_file(name.c_str(), RW, SHARE_ALL, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, file.h);

    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, event);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = event;
    ov.Offset = 4;
    DWORD n = 0;
    if (!WriteFile(file.h, "abcd", 4, &n, &ov)) {
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    }
    ASSERT_TRUE(GetOverlappedResult(file.h, &ov, &n, TRUE));
    EXPECT_EQ(4u, n);

    char buf[8] = {0};
    memset(&ov, 0, sizeof ov);
    ov.hEvent = event;
    ov.Offset = 5;
    if (!ReadFile(file.h, buf, 3, &n, &ov)) {
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    }
    ASSERT_TRUE(GetOverlappedResult(file.h, &ov, &n, TRUE));
    EXPECT_EQ(std::string("bcd"), std::string(buf, n));
    CloseHandle(event);
    EXPECT_EQ(std::string("\0\0\0\0abcd", 8), kavtest::read_file(name));
}

TEST(LockRange, GrantedQueuedOrRefused) {
    kavtest::TempDir dir;
    std::string name = dir.file("work");
    HandleGuard a;
    HandleGuard b;
    a.h = open_share_file(name.c_str(), RW, SHARE_ALL, CREATE_NEW);
    b.h = open_share_file(name.c_str(), RW, SHARE_ALL, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, a.h);
    ASSERT_NE(INVALID_HANDLE_VALUE, b.h);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, event);

    OVERLAPPED ova;
    memset(&ova, 0, sizeof ova);
    ova.hEvent = event;
    ASSERT_EQ(0, lock_range(a.h, 1, &ova));
    // On an overlapped handle a conflicting request is queued, not refused.
    OVERLAPPED ovb;
    memset(&ovb, 0, sizeof ovb);
    ovb.hEvent = event;
    EXPECT_EQ(-2, lock_range(b.h, 0, &ovb));
    // Closing b ends its queued request before the record goes out of scope.
    ASSERT_EQ(0, close_handle_reset(&b.h));
    EXPECT_EQ(INVALID_HANDLE_VALUE, b.h);

    EXPECT_EQ(0, unlock_range(a.h));
    // Nothing left to release.
    EXPECT_EQ(-1, unlock_range(a.h));
    EXPECT_NE(0u, GetLastError());
    // A failure other than a conflict is refused, not queued.
    EXPECT_EQ(-1, lock_range(INVALID_HANDLE_VALUE, 1, &ova));
    CloseHandle(event);
}

TEST(DeleteWorkFile, DeletesOnceAndRespectsShareMode) {
    kavtest::TempDir dir;
    std::string name = dir.file("work");
    HandleGuard file;
    file.h = open_share_file(name.c_str(), RW, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, file.h);
    // The open handle does not share delete.
    EXPECT_EQ(-1, delete_work_file(name.c_str()));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    ASSERT_EQ(0, close_handle_reset(&file.h));
    EXPECT_EQ(0, delete_work_file(name.c_str()));
    EXPECT_FALSE(kavtest::file_exists(name));
    EXPECT_EQ(-1, delete_work_file(name.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(CloseHandleReset, ResetsOnSuccessAndKeepsTheValueOnFailure) {
    kavtest::TempDir dir;
    HANDLE h = open_share_file(dir.file("work").c_str(), RW, SHARE_ALL, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE copy = h;
    ASSERT_EQ(0, close_handle_reset(&h));
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    // The old value is no longer open.
    HANDLE stale = copy;
    EXPECT_EQ(-1, close_handle_reset(&stale));
    EXPECT_EQ(copy, stale);
}

}  // namespace
