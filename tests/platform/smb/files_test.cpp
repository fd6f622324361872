// The Win32 file calls on UNC paths against the in-memory server (fake_server.cpp), for
// what the platform suite run on Samba (tests/shares/smb_platform_test.py) cannot stage
// on cue: a grant crossing a CANCEL or a CloseHandle, transfers above the server's limit,
// checks Samba does not make; and the name and status tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/smb/unc.h"
#include "platform/smb/win32_smb.h"
#include "platform/win32.h"

namespace fake {
void reset();                // no data, the default limit, answers delivered
void set_max_io(uint32_t n);  // largest READ/WRITE
void hold(bool on);          // grants of waiting locks held until off or a CANCEL
}  // namespace fake

namespace {

const DWORD RW = GENERIC_READ | GENERIC_WRITE, EXCL = LOCKFILE_EXCLUSIVE_LOCK, NOW = LOCKFILE_FAIL_IMMEDIATELY;

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
        {"\\\\srv\\share\\dir\\", 1252, 0, "srv", u"dir", true},
        // 0x83 0x5C is one character in code page 932; in 1252 the 0x5C separates.
        {"\\\\\x83\x5c\\share\\\x83\x5c\x83\x74.txt", 932, 0, "\xe3\x82\xbd", u"\u30bd\u30d5.txt", false},
        {"\\\\srv\\share\\\x83\x5c\x83\x74.txt", 1252, 0, "srv", u"\u0192\\\u0192t.txt", false},
        {"\\\\srv\\share\\\xe3\x82\xbd", 65001, 0, "srv", u"\u30bd", false},
        {"\\\\srv\\share\\a\x81", 932, ERROR_INVALID_NAME, "", u"", false},  // a lead byte alone
        {"\\\\srv", 1252, ERROR_BAD_NETPATH, "", u"", false},
        {"\\\\\\share\\a", 1252, ERROR_BAD_PATHNAME, "", u"", false},
    };
    for (const Case &c : cases) {
        smb::UncName u;
        EXPECT_EQ(c.err, smb::unc_parse(c.name, c.cp, &u)) << c.name;
        if (c.err != 0) continue;
        EXPECT_TRUE(c.host == u.host && "share" == u.share && c.path == u.path && c.trailing == u.trailing) << c.name;
    }
    EXPECT_TRUE(smb::is_unc("\\/srv"));
    EXPECT_FALSE(smb::is_unc("\\srv\\share"));
}

// Every status that reaches a caller maps to an error with a system text.
TEST(SmbStatus, EveryMappedErrorHasASystemText) {
    std::vector<uint32_t> statuses = {0, 0x103, 0x80000005};  // success, pending, overflow
    for (uint32_t s = 0xC0000000; s < 0xC0000300; s++) statuses.push_back(s);
    char buf[512];
    for (uint32_t s : statuses)
        EXPECT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                     smb::status_to_win32(s), 0, buf, sizeof buf, NULL)) << std::hex << s;
}

class SmbFiles : public ::testing::Test {
  protected:
    void TearDown() override { fake::reset(); }
    static std::string unc(const char *name) { return std::string("\\\\srv\\share\\") + name; }
    static HANDLE open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        return CreateFileA(unc("f").c_str(), RW, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, flags, NULL);
    }
    // 0, or the last error of a call that failed.
    static DWORD lock(HANDLE h, DWORD flags, OVERLAPPED *ov) {
        return LockFileEx(h, flags, 0, 1, 0, ov) ? 0 : GetLastError();
    }
    static DWORD unlock(HANDLE h) {
        OVERLAPPED ov = {};
        return UnlockFileEx(h, 0, 1, 0, &ov) ? 0 : GetLastError();
    }
};

// Samba truncates on TRUNCATE_EXISTING without write access; Windows refuses the call.
// A separator after a name means a folder, and a folder needs backup semantics.
TEST_F(SmbFiles, ArgumentsRefusedBeforeTheWire) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(unc("f").c_str(), GENERIC_READ, 0, NULL, TRUNCATE_EXISTING, 0, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(unc("dir\\").c_str(), RW, 0, NULL, OPEN_ALWAYS, 0, NULL));
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
    CloseHandle(h);
}

// Samba grants a waiting lock that its CANCEL or CLOSE crosses on the wire. Granted
// through CancelIoEx, the request succeeds and the handle holds the lock; granted while
// its handle closes, it ends aborted as the POSIX layer's would, and the lock goes.
TEST_F(SmbFiles, GrantCrossingACancelOrACloseHandle) {
    for (bool by_close : {false, true}) {
        SCOPED_TRACE(by_close ? "CloseHandle" : "CancelIoEx");
        HANDLE a = open(), b = open(), ev = CreateEventA(NULL, TRUE, FALSE, NULL);
        OVERLAPPED oa = {}, ob = {};
        ob.hEvent = ev;
        ASSERT_EQ(0u, lock(a, EXCL | NOW, &oa));
        // Refused at once, never pending; the record left as the POSIX layer leaves it.
        EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, &ob));
        EXPECT_EQ(0x103u, ob.Internal);
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, lock(b, EXCL, &ob));
        fake::hold(true);
        ASSERT_EQ(0u, unlock(a));
        DWORD n;
        if (by_close) {
            ASSERT_TRUE(CloseHandle(b));
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, 0));
            EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, smb::status_to_win32((uint32_t)ob.Internal));
            EXPECT_EQ(0u, lock(a, EXCL | NOW, &oa));
        } else {
            EXPECT_TRUE(CancelIoEx(b, NULL));
            EXPECT_TRUE(GetOverlappedResult(b, &ob, &n, TRUE));
            EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, &oa));
            CloseHandle(b);
        }
        CloseHandle(a);
        CloseHandle(ev);
        fake::reset();
    }
}

}  // namespace
