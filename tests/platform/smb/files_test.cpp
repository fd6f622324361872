// The Win32 file calls on UNC paths against the in-memory server, for what the platform
// suite run on Samba (tests/shares/smb_platform_test.py) cannot stage on cue: answers held
// back, a grant crossing a CANCEL or a CloseHandle, transfers above the server's limit,
// checks Samba does not make; and the name and status tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_server.h"
#include "platform/smb/unc.h"
#include "platform/smb/win32_smb.h"
#include "platform/win32.h"

namespace {

const DWORD RW = GENERIC_READ | GENERIC_WRITE;
const DWORD EXCL = LOCKFILE_EXCLUSIVE_LOCK;
const DWORD NOW = LOCKFILE_FAIL_IMMEDIATELY;
const ULONG_PTR kStatusPending = 0x103;
const DWORD kWaitMs = 5000;

TEST(SmbUnc, NamesTakenApart) {
    struct Case {
        const char *name;
        unsigned cp;
        DWORD err;
        const char *host;
        std::u16string path;
        bool trailing;
    } cases[] = {
        // Mixed and repeated separators, "." and "..", as a full path is made.
        {"\\\\srv/share\\\\dir//./x/../a.txt", 1252, 0, "srv", u"dir\\a.txt", false},
        {"\\\\srv\\share\\..\\..\\a", 1252, 0, "srv", u"a", false},
        {"\\\\srv\\share", 1252, 0, "srv", u"", false},
        {"\\\\srv\\share\\", 1252, 0, "srv", u"", false},
        {"\\\\srv\\share\\dir\\", 1252, 0, "srv", u"dir", true},
        // 0x83 0x5C is one character in code page 932; in 1252 the 0x5C separates.
        {"\\\\srv\\share\\\x83\x5c\x83\x74.txt", 932, 0, "srv", u"\u30bd\u30d5.txt", false},
        {"\\\\srv\\share\\\x83\x5c\x83\x74.txt", 1252, 0, "srv", u"\u0192\\\u0192t.txt", false},
        {"\\\\srv\\share\\\xe3\x82\xbd", 65001, 0, "srv", u"\u30bd", false},
        {"\\\\\x83\x5c\\share\\a", 932, 0, "\xe3\x82\xbd", u"a", false},
        {"\\\\srv\\share\\a\x81", 932, ERROR_INVALID_NAME, "", u"", false},  // a lead byte alone
        {"\\\\srv", 1252, ERROR_BAD_NETPATH, "", u"", false},
        {"\\\\\\share\\a", 1252, ERROR_BAD_PATHNAME, "", u"", false},
    };
    for (const Case &c : cases) {
        smb::UncName u;
        EXPECT_EQ(c.err, smb::unc_parse(c.name, c.cp, &u)) << c.name;
        if (c.err != 0) continue;
        EXPECT_EQ(c.host, u.host) << c.name;
        EXPECT_EQ("share", u.share) << c.name;
        EXPECT_TRUE(c.path == u.path) << c.name;
        EXPECT_EQ(c.trailing, u.trailing) << c.name;
    }
    EXPECT_TRUE(smb::is_unc("\\/srv"));
    EXPECT_FALSE(smb::is_unc("\\srv\\share"));
}

// Every status that reaches a caller maps to an error with a system text.
TEST(SmbStatus, EveryMappedErrorHasASystemText) {
    std::vector<uint32_t> statuses = {smb::kSuccess, smb::kPending, 0x80000005};
    for (uint32_t s = 0xC0000000; s < 0xC0000300; s++) statuses.push_back(s);
    for (uint32_t s : statuses) {
        char buf[512];
        EXPECT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                     smb::status_to_win32(s), 0, buf, sizeof buf, NULL))
            << std::hex << s;
    }
}

class SmbFiles : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    static std::string unc(const char *name) { return std::string("\\\\srv\\share\\") + name; }
    static HANDLE open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        HANDLE h = CreateFileA(unc("f").c_str(), RW, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, flags, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        return h;
    }
    // 0, or the last error of a call that failed.
    static DWORD result(BOOL ok) { return ok ? 0 : GetLastError(); }
    static DWORD lock(HANDLE h, DWORD flags, OVERLAPPED *ov) { return result(LockFileEx(h, flags, 0, 1, 0, ov)); }
    static DWORD unlock(HANDLE h) {
        OVERLAPPED ov = {};
        return result(UnlockFileEx(h, 0, 1, 0, &ov));
    }
    static ULONG_PTR internal(const OVERLAPPED &ov) { return __atomic_load_n(&ov.Internal, __ATOMIC_ACQUIRE); }
};

// Samba truncates on TRUNCATE_EXISTING without write access; Windows refuses the call.
TEST_F(SmbFiles, ArgumentsRefusedBeforeTheWire) {
    struct Case {
        const char *name;
        DWORD access, disposition, err;
    } cases[] = {
        {"f", GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
        {"f", RW, TRUNCATE_EXISTING + 1, ERROR_INVALID_PARAMETER},
        {"dir\\", RW, OPEN_ALWAYS, ERROR_INVALID_NAME},  // a folder's name needs backup semantics
    };
    for (const Case &c : cases) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(unc(c.name).c_str(), c.access, 0, NULL, c.disposition, 0, NULL));
        EXPECT_EQ(c.err, GetLastError()) << c.name;
    }
    // A separator after a file's name does not name it.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(unc("f\\").c_str()));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
}

TEST_F(SmbFiles, SynchronousTransfersAreSplitAtTheServersLimit) {
    fake::set_max_io(4);
    HANDLE h = open(0);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, NULL));
    EXPECT_EQ(11u, n);
    EXPECT_EQ(11u, SetFilePointer(h, 0, NULL, FILE_CURRENT));
    char buf[16];
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));  // a short piece ends the read
    EXPECT_EQ(std::string("hello world"), std::string(buf, n));
    EXPECT_EQ(11u, ov.InternalHigh);
    CloseHandle(h);
}

// Without an event the handle is signalled; the data and the count land at the answer.
TEST_F(SmbFiles, HeldReadPendsAndItsAnswerCompletesTheRecord) {
    HANDLE h = open();
    DWORD n = 0;
    OVERLAPPED ov = {};
    ASSERT_TRUE(WriteFile(h, "abc", 3, NULL, &ov) || GetOverlappedResult(h, &ov, &n, TRUE));
    fake::hold(true);
    char buf[8] = {};
    ov = {};
    ov.Offset = 1;
    EXPECT_EQ((DWORD)ERROR_IO_PENDING, result(ReadFile(h, buf, sizeof buf, NULL, &ov)));
    EXPECT_EQ(kStatusPending, internal(ov));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));
    EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, result(GetOverlappedResult(h, &ov, &n, FALSE)));
    fake::hold(false);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
    EXPECT_EQ(std::string("bc"), std::string(buf, n));
    CloseHandle(h);
}

// Samba grants a waiting lock that its CANCEL or CLOSE crosses on the wire. Granted
// through CancelIoEx, the request succeeds and the handle holds the lock; granted while
// its handle closes, it ends aborted as the POSIX layer's would, and the lock goes.
TEST_F(SmbFiles, GrantCrossingACancelOrACloseHandle) {
    for (bool by_close : {false, true}) {
        SCOPED_TRACE(by_close ? "CloseHandle" : "CancelIoEx");
        fake::reset();
        HANDLE a = open(), b = open(), ev = CreateEventA(NULL, TRUE, FALSE, NULL);
        OVERLAPPED oa = {}, ob = {};
        ob.hEvent = ev;
        ASSERT_EQ(0u, lock(a, EXCL | NOW, &oa));
        // Refused at once: the record left pending, as the POSIX layer leaves it.
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, &ob));
        EXPECT_EQ(kStatusPending, internal(ob));
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, lock(b, EXCL, &ob));
        fake::hold(true);
        ASSERT_EQ(0u, unlock(a));
        if (by_close) {
            ASSERT_TRUE(CloseHandle(b));
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, 0));
            EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, smb::status_to_win32((uint32_t)internal(ob)));
            EXPECT_EQ(0u, lock(a, EXCL | NOW, &oa));
        } else {
            EXPECT_TRUE(CancelIoEx(b, NULL));
            DWORD n;
            EXPECT_TRUE(GetOverlappedResult(b, &ob, &n, TRUE));
            EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, &oa));
            EXPECT_EQ(0u, unlock(b));
            CloseHandle(b);
        }
        CloseHandle(a);
        CloseHandle(ev);
    }
}

}  // namespace
