// The Win32 file calls on UNC paths, driven through the Win32 entry points against the
// in-memory server: what goes on the wire for each call, and the Windows semantics the
// layer adds on the client side (OVERLAPPED completion, the file pointer, pending and
// cancelled locks, CloseHandle with requests in flight, the errors Windows gives).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "fake_server.h"
#include "platform/smb/unc.h"
#include "platform/smb/win32_smb.h"
#include "platform/win32.h"
#include "support/testsupport.h"

namespace {

const DWORD RW = GENERIC_READ | GENERIC_WRITE;
const DWORD SHARE_RW = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD EXCL = LOCKFILE_EXCLUSIVE_LOCK;
const DWORD NOW = LOCKFILE_FAIL_IMMEDIATELY;
const ULONG_PTR kStatusPending = 0x103;
const ULONG_PTR kStatusCancelled = 0xC0000120;
const DWORD kWaitMs = 5000;

TEST(SmbUnc, NamesTakenApart) {
    struct Case {
        const char *name;
        unsigned cp;
        DWORD err;
        const char *host, *share;
        std::u16string path;
        bool trailing;
    } cases[] = {
        {"\\\\srv\\share\\dir\\a.txt", 1252, 0, "srv", "share", u"dir\\a.txt", false},
        {"//srv/share/dir/a.txt", 1252, 0, "srv", "share", u"dir\\a.txt", false},
        // Mixed and repeated separators, "." and "..", as a full path is made.
        {"\\\\srv/share\\\\dir//./x/../a.txt", 1252, 0, "srv", "share", u"dir\\a.txt", false},
        {"\\\\srv\\share\\..\\..\\a", 1252, 0, "srv", "share", u"a", false},
        {"\\\\srv\\share", 1252, 0, "srv", "share", u"", false},
        {"\\\\srv\\share\\", 1252, 0, "srv", "share", u"", false},
        {"\\\\srv\\share\\dir\\", 1252, 0, "srv", "share", u"dir", true},
        // 0x83 0x5C is one character in code page 932; in 1252 the 0x5C separates.
        {"\\\\srv\\share\\\x83\x5c\x83\x74.txt", 932, 0, "srv", "share", u"\u30bd\u30d5.txt", false},
        {"\\\\srv\\share\\\x83\x5c\x83\x74.txt", 1252, 0, "srv", "share", u"\u0192\\\u0192t.txt", false},
        {"\\\\srv\\share\\\xe3\x82\xbd", 65001, 0, "srv", "share", u"\u30bd", false},
        {"\\\\\x83\x5c\\share\\a", 932, 0, "\xe3\x82\xbd", "share", u"a", false},
        {"\\\\srv\\share\\a\x81", 932, ERROR_INVALID_NAME, "", "", u"", false},  // a lead byte alone
        {"\\\\srv", 1252, ERROR_BAD_NETPATH, "", "", u"", false},
        {"\\\\srv\\", 1252, ERROR_BAD_NETPATH, "", "", u"", false},
        {"\\\\\\share\\a", 1252, ERROR_BAD_PATHNAME, "", "", u"", false},
    };
    for (const Case &c : cases) {
        smb::UncName u;
        EXPECT_EQ(c.err, smb::unc_parse(c.name, c.cp, &u)) << c.name;
        if (c.err != 0) continue;
        EXPECT_EQ(c.host, u.host) << c.name;
        EXPECT_EQ(c.share, u.share) << c.name;
        EXPECT_TRUE(c.path == u.path) << c.name;
        EXPECT_EQ(c.trailing, u.trailing) << c.name;
    }
    EXPECT_TRUE(smb::is_unc("\\/srv"));
    EXPECT_FALSE(smb::is_unc("\\srv\\share"));
    EXPECT_FALSE(smb::is_unc("srv"));
}

class SmbFiles : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    static std::string unc(const char *name) { return std::string("\\\\srv\\share\\") + name; }
    static HANDLE open(const char *name, DWORD flags = FILE_FLAG_OVERLAPPED, DWORD access = RW) {
        HANDLE h = CreateFileA(unc(name).c_str(), access, SHARE_RW, NULL, OPEN_ALWAYS, flags, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        return h;
    }
    // 0, or the last error of a call that failed.
    static DWORD result(BOOL ok) { return ok ? 0 : GetLastError(); }
    static DWORD lock(HANDLE h, DWORD flags, OVERLAPPED *ov) { return result(LockFileEx(h, flags, 0, 1, 0, ov)); }
    // A lock that must be granted, at once or after a short pending state.
    static DWORD granted(HANDLE h, DWORD flags, OVERLAPPED *ov) {
        DWORD err = lock(h, flags, ov), n;
        return err == ERROR_IO_PENDING ? result(GetOverlappedResult(h, ov, &n, TRUE)) : err;
    }
    static DWORD unlock(HANDLE h) {
        OVERLAPPED ov = {};
        return result(UnlockFileEx(h, 0, 1, 0, &ov));
    }
    static ULONG_PTR internal(const OVERLAPPED &ov) { return __atomic_load_n(&ov.Internal, __ATOMIC_ACQUIRE); }
};

TEST_F(SmbFiles, CreateMapsItsArgumentsAndItsResult) {
    struct Case {
        DWORD access, share, disposition, flags;
        bool exists;
        DWORD err;  // last error after the call
        uint32_t wire_access, wire_share, wire_disposition, wire_options, wire_attributes;
    } cases[] = {
        {RW, SHARE_RW, OPEN_ALWAYS, FILE_FLAG_OVERLAPPED, false, 0, 0x12019F, 3, 3, 0x40, 0},
        {RW, SHARE_RW, OPEN_ALWAYS, FILE_FLAG_OVERLAPPED, true, ERROR_ALREADY_EXISTS, 0x12019F, 3, 3, 0x40, 0},
        {GENERIC_READ, 0xF, OPEN_EXISTING, 0, true, 0, 0x120089, 7, 1, 0x40, 0},
        {GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, true, ERROR_ALREADY_EXISTS, 0x120196, 0, 5, 0x40, 0x80},
        {GENERIC_WRITE, 0, CREATE_ALWAYS, 0, false, 0, 0x120196, 0, 5, 0x40, 0},
        {GENERIC_ALL, 0, CREATE_NEW, 0, false, 0, 0x1F01FF, 0, 2, 0x40, 0},
        {GENERIC_EXECUTE, 0, OPEN_EXISTING, 0, true, 0, 0x1200A0, 0, 1, 0x40, 0},
        {DELETE | FILE_READ_DATA, 0, OPEN_EXISTING, 0, true, 0, 0x110081, 0, 1, 0x40, 0},
        {GENERIC_WRITE, 0, TRUNCATE_EXISTING, 0, true, 0, 0x120196, 0, 4, 0x40, 0},
        {RW, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, 0, 0x12019F, 0, 1, 0x4000, 0},
        // Refusals of the server.
        {RW, 0, CREATE_NEW, 0, true, ERROR_FILE_EXISTS, 0x12019F, 0, 2, 0x40, 0},
        {RW, 0, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND, 0x12019F, 0, 1, 0x40, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "access " << std::hex << c.access << " disposition " << c.disposition
                                        << " exists " << c.exists);
        fake::reset();
        if (c.exists) fake::put(u"f", "old");
        SetLastError(1234);
        HANDLE h = CreateFileA(unc("f").c_str(), c.access, c.share, NULL, c.disposition, c.flags, NULL);
        DWORD err = GetLastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        EXPECT_EQ(c.err == 0 || c.err == ERROR_ALREADY_EXISTS, h != INVALID_HANDLE_VALUE);
        EXPECT_EQ(c.err, err);
        smb::CreateArgs a = fake::last_create();
        EXPECT_TRUE(a.name == u"f");
        EXPECT_EQ(c.wire_access, a.access);
        EXPECT_EQ(c.wire_share, a.share);
        EXPECT_EQ(c.wire_disposition, a.disposition);
        EXPECT_EQ(c.wire_options, a.options);
        EXPECT_EQ(c.wire_attributes, a.attributes);
        EXPECT_EQ("srv", fake::last_host());
        EXPECT_EQ("share", fake::last_share());
    }
}

TEST_F(SmbFiles, NamesAndArgumentsRefusedBeforeTheWire) {
    fake::put(u"f", "x");
    struct Case {
        std::string name;
        DWORD access, disposition, err;
    } cases[] = {
        {unc("f"), GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},  // needs write access
        {unc("f"), RW, 0, ERROR_INVALID_PARAMETER},
        {unc("f"), RW, TRUNCATE_EXISTING + 1, ERROR_INVALID_PARAMETER},
        {unc("dir\\"), RW, OPEN_ALWAYS, ERROR_INVALID_NAME},
        {"\\\\srv", RW, OPEN_ALWAYS, ERROR_BAD_NETPATH},
        {"\\\\nohost\\share\\f", RW, OPEN_ALWAYS, ERROR_BAD_NETPATH},
        {"\\\\srv\\noshare\\f", RW, OPEN_ALWAYS, ERROR_BAD_NET_NAME},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(c.name.c_str(), c.access, 0, NULL, c.disposition, 0, NULL))
            << c.name;
        EXPECT_EQ(c.err, GetLastError()) << c.name;
    }
    EXPECT_EQ(0, fake::creates());
    EXPECT_EQ("x", fake::content(u"f"));
}

TEST_F(SmbFiles, SynchronousTransfersMoveTheFilePointer) {
    fake::set_max_io(4);  // every transfer below takes several requests
    HANDLE h = open("f", 0);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, NULL));
    EXPECT_EQ(11u, n);
    EXPECT_EQ("hello world", fake::content(u"f"));
    EXPECT_EQ(11u, SetFilePointer(h, 0, NULL, FILE_CURRENT));
    char buf[16] = {};
    EXPECT_EQ(0u, SetFilePointer(h, 0, NULL, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(h, buf, 5, &n, NULL));
    EXPECT_EQ(std::string("hello"), std::string(buf, n));
    EXPECT_EQ(8u, SetFilePointer(h, -3, NULL, FILE_END));
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(std::string("rld"), std::string(buf, n));
    // At the end of the file a synchronous read reads nothing and succeeds.
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, NULL));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -1, NULL, FILE_BEGIN));
    EXPECT_EQ(131u, GetLastError());
    LONG high = 1;
    EXPECT_EQ(2u, SetFilePointer(h, 2, &high, FILE_BEGIN));
    EXPECT_EQ(1, high);
    // An OVERLAPPED on a synchronous handle gives the offset, and the read moves the pointer.
    OVERLAPPED ov = {};
    ov.Offset = 6;
    ASSERT_TRUE(ReadFile(h, buf, 5, &n, &ov));
    EXPECT_EQ(std::string("world"), std::string(buf, n));
    EXPECT_EQ(0u, internal(ov));
    EXPECT_EQ(5u, ov.InternalHigh);
    EXPECT_EQ(11u, SetFilePointer(h, 0, NULL, FILE_CURRENT));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
}

TEST_F(SmbFiles, OverlappedTransfersCompleteTheRecord) {
    fake::put(u"f", "abc");
    HANDLE h = open("f");
    HANDLE ev = CreateEventA(NULL, TRUE, TRUE, NULL);
    fake::hold_io(true);
    OVERLAPPED w = {};
    w.hEvent = ev;
    w.Offset = w.OffsetHigh = 0xFFFFFFFF;  // at the end
    EXPECT_EQ((DWORD)ERROR_IO_PENDING, result(WriteFile(h, "de", 2, NULL, &w)));
    EXPECT_EQ(kStatusPending, internal(w));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ev, 0));
    DWORD n = 0;
    EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, result(GetOverlappedResult(h, &w, &n, FALSE)));
    // Without an event, the handle is what gets signalled.
    char buf[8] = {};
    OVERLAPPED r = {};
    r.Offset = 1;
    EXPECT_EQ((DWORD)ERROR_IO_PENDING, result(ReadFile(h, buf, sizeof buf, NULL, &r)));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));
    fake::hold_io(false);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, kWaitMs));
    EXPECT_EQ(0u, internal(w));
    EXPECT_EQ(2u, w.InternalHigh);
    EXPECT_TRUE(GetOverlappedResult(h, &r, &n, TRUE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
    EXPECT_EQ("abcde", fake::content(u"f"));
    EXPECT_EQ(std::string("bcde"), std::string(buf, n));
    // Past the end: STATUS_END_OF_FILE, at once or through the record.
    r = {};
    r.Offset = 10;
    DWORD err = result(ReadFile(h, buf, sizeof buf, NULL, &r));
    if (err == ERROR_IO_PENDING) err = result(GetOverlappedResult(h, &r, &n, TRUE));
    EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, err);
    EXPECT_EQ(0xC0000011u, internal(r));
    // Checks of the handle come first.
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, result(ReadFile(h, buf, 1, &n, NULL)));
    HANDLE ro = open("f", FILE_FLAG_OVERLAPPED, GENERIC_READ);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, result(WriteFile(ro, "x", 1, NULL, &w)));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, result(FlushFileBuffers(ro)));
    CloseHandle(ro);
    CloseHandle(ev);
    CloseHandle(h);
}

TEST_F(SmbFiles, WaitingLockGrantedWhenTheHolderUnlocks) {
    HANDLE a = open("f"), b = open("f");
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED oa = {}, ob = {};
    ob.hEvent = ev;
    ASSERT_EQ(0u, lock(a, EXCL | NOW, &oa));
    // Refused at once: never pending, and the record is left as the POSIX layer leaves it.
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, EXCL | NOW, &ob));
    EXPECT_EQ(kStatusPending, internal(ob));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(b, NOW, &ob));
    EXPECT_EQ((DWORD)ERROR_IO_PENDING, lock(b, EXCL, &ob));
    DWORD n;
    EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, result(GetOverlappedResult(b, &ob, &n, FALSE)));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ev, 0));
    ASSERT_EQ(0u, unlock(a));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, kWaitMs));
    EXPECT_TRUE(GetOverlappedResult(b, &ob, &n, TRUE));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, &oa));
    EXPECT_EQ(0u, unlock(b));
    EXPECT_EQ((DWORD)ERROR_NOT_LOCKED, unlock(b));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, result(CancelIoEx(b, &ob)));
    // A synchronous handle waits in the calling thread.
    HANDLE s = open("f", 0);
    ASSERT_EQ(0u, granted(a, EXCL, &oa));
    DWORD waited = 1;
    std::thread t([&] {
        OVERLAPPED os = {};
        waited = lock(s, EXCL, &os);
    });
    EXPECT_TRUE(fake::wait_for_waiters(1));
    EXPECT_EQ(0u, unlock(a));
    t.join();
    EXPECT_EQ(0u, waited);
    CloseHandle(s);
    CloseHandle(ev);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(SmbFiles, CancelledLockEndsAbortedOrGrantedAnyway) {
    HANDLE a = open("f"), b = open("f");
    OVERLAPPED oa = {}, ob = {};
    ASSERT_EQ(0u, granted(a, EXCL, &oa));
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, lock(b, EXCL, &ob));
    EXPECT_TRUE(CancelIoEx(b, &ob));
    DWORD n;
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, result(GetOverlappedResult(b, &ob, &n, TRUE)));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, result(CancelIoEx(b, NULL)));
    // The grant crosses the CANCEL: the request succeeds and b holds the lock.
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, lock(b, EXCL, &ob));
    fake::hold_grants_until_cancel(true);
    ASSERT_EQ(0u, unlock(a));
    EXPECT_TRUE(CancelIoEx(b, NULL));
    EXPECT_TRUE(GetOverlappedResult(b, &ob, &n, TRUE));
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, lock(a, EXCL | NOW, &oa));
    EXPECT_EQ(0u, unlock(b));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(SmbFiles, CloseHandleEndsAWaitingLockAborted) {
    HANDLE a = open("f");
    OVERLAPPED oa = {};
    ASSERT_EQ(0u, granted(a, EXCL, &oa));
    for (bool granted_meanwhile : {false, true}) {
        SCOPED_TRACE(granted_meanwhile);
        HANDLE b = open("f");
        HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
        OVERLAPPED ob = {};
        ob.hEvent = ev;
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, lock(b, EXCL, &ob));
        if (granted_meanwhile) {
            fake::hold_grants_until_cancel(true);
            ASSERT_EQ(0u, unlock(a));
        }
        // CloseHandle returns once the request has ended; the lock goes with the handle.
        ASSERT_TRUE(CloseHandle(b));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, 0));
        EXPECT_EQ(kStatusCancelled, internal(ob));
        CloseHandle(ev);
    }
    fake::hold_grants_until_cancel(false);
    EXPECT_EQ(0u, lock(a, EXCL | NOW, &oa));
    CloseHandle(a);
}

TEST_F(SmbFiles, DeleteAndAttributes) {
    fake::put(u"dir\\f", "x");
    EXPECT_EQ(0x20u, GetFileAttributesA(unc("dir\\f").c_str()));
    smb::CreateArgs a = fake::last_create();
    EXPECT_EQ(0x100080u, a.access);
    EXPECT_EQ(7u, a.share);
    EXPECT_EQ(1u, a.disposition);
    EXPECT_EQ(0u, a.options);
    EXPECT_EQ(0x10u, GetFileAttributesA("\\\\srv\\share"));
    EXPECT_EQ(0x10u, GetFileAttributesA("//srv/share/"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(unc("dir\\f\\").c_str()));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(unc("none").c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    // Deleted while a handle shares delete access: gone at its close.
    HANDLE h = CreateFileA(unc("dir\\f").c_str(), RW, 7, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(DeleteFileA(unc("dir/f").c_str()));
    a = fake::last_create();
    EXPECT_TRUE(a.name == u"dir\\f");
    EXPECT_EQ(0x110080u, a.access);
    EXPECT_EQ(7u, a.share);
    EXPECT_EQ(1u, a.disposition);
    EXPECT_EQ(0x200040u, a.options);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(unc("dir\\f").c_str(), RW, 7, NULL, OPEN_ALWAYS, 0, NULL));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());  // delete pending
    CloseHandle(h);
    EXPECT_FALSE(fake::exists(u"dir\\f"));
    EXPECT_FALSE(DeleteFileA(unc("dir\\f").c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(DeleteFileA("\\\\srv\\share"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());  // a folder
}

// Every status that reaches a caller maps to an error with a system text.
TEST(SmbStatus, EveryMappedErrorHasASystemText) {
    const uint32_t statuses[] = {
        smb::kSuccess, smb::kPending, smb::kInvalidParameter, smb::kAccessDenied, smb::kObjectNameCollision,
        smb::kLogonFailure, smb::kInsufficientResources, smb::kIoTimeout, smb::kNotSupported,
        smb::kBadNetworkName, smb::kCancelled, smb::kConnectionDisconnected, smb::kConnectionReset,
        smb::kBadNetworkPath, smb::kNetworkUnreachable, smb::kHostUnreachable, smb::kInvalidNetworkResponse,
        0xC0000003, 0xC0000008, 0xC0000010, 0xC0000011, 0xC0000033, 0xC0000034, 0xC000003A, 0xC0000043,
        0xC0000054, 0xC0000055, 0xC0000056, 0xC000007E, 0xC000007F, 0xC00000BA, 0xC00000C9, 0xC00000CA,
        0xC0000103, 0xC0000121, 0xC0000128, 0xC0000203, 0xC0000236, 0x12345678};
    for (uint32_t s : statuses) {
        DWORD code = smb::status_to_win32(s);
        char buf[512];
        EXPECT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, buf,
                                     sizeof buf, NULL))
            << std::hex << s << " -> " << std::dec << code;
    }
}

}  // namespace
