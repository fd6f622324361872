// FormatMessageA and LocalFree: system texts for the layer's error codes, the
// shape of message-table text under FORMAT_MESSAGE_MAX_WIDTH_MASK, and failures.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace {

// The flags with which the tool asks for an error's system text.
constexpr DWORD kReportFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;

// The system text of code as the tool fetches it; sets *ok to whether that worked.
std::string system_text(DWORD code, DWORD lang, bool *ok, DWORD flags = kReportFlags) {
    char *buf = NULL;
    DWORD n = FormatMessageA(flags, NULL, code, lang, (LPSTR)&buf, 0, NULL);
    *ok = n != 0 && buf != NULL;
    std::string text;
    if (buf != NULL) {
        text.assign(buf);
        EXPECT_EQ(n, text.size());
        EXPECT_EQ((HLOCAL)NULL, LocalFree(buf));
    }
    return text;
}

// Every error code the layer gives has a one-line system text.
TEST(SystemMessage, EveryLayerErrorHasAOneLineText) {
    // 572 is ERROR_CONTROL_C_EXIT, which some SDKs lack.
    const DWORD codes[] = {
        ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
        ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,
        ERROR_OUTOFMEMORY, ERROR_NOT_SAME_DEVICE, ERROR_WRITE_PROTECT, ERROR_NOT_READY, ERROR_WRITE_FAULT,
        ERROR_READ_FAULT, ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_HANDLE_EOF,
        ERROR_HANDLE_DISK_FULL, ERROR_NOT_SUPPORTED, ERROR_BAD_NETPATH, ERROR_BAD_NET_RESP, ERROR_UNEXP_NET_ERR,
        ERROR_NETNAME_DELETED, ERROR_NETWORK_ACCESS_DENIED, ERROR_BAD_NET_NAME, ERROR_SEM_TIMEOUT,
        ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE, ERROR_DISK_FULL,
        ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_NAME, ERROR_DIR_NOT_EMPTY, ERROR_NOT_LOCKED,
        ERROR_BAD_PATHNAME, ERROR_LOCK_FAILED, ERROR_ALREADY_EXISTS, ERROR_FILENAME_EXCED_RANGE,
        ERROR_MORE_DATA, ERROR_DIRECTORY, ERROR_MR_MID_NOT_FOUND, ERROR_INVALID_ADDRESS, 572,
        ERROR_OPERATION_ABORTED, ERROR_IO_INCOMPLETE, ERROR_IO_PENDING, ERROR_NOACCESS,
        ERROR_NOT_FOUND, ERROR_CONNECTION_REFUSED, ERROR_NETWORK_UNREACHABLE, ERROR_HOST_UNREACHABLE,
        ERROR_LOGON_FAILURE, ERROR_NO_SYSTEM_RESOURCES, ERROR_TIMEOUT, ERROR_RESOURCE_LANG_NOT_FOUND, ERROR_MUI_FILE_NOT_FOUND};
    for (DWORD code : codes) {
        for (DWORD lang : {0x0000u, 0x0400u}) {
            bool ok = false;
            std::string text = system_text(code, lang, &ok);
            if (platform_is_wine() && (code == 572 || code == ERROR_MUI_FILE_NOT_FOUND)) {
                // Wine 8's message table has no text for these two codes.
                EXPECT_FALSE(ok) << code;
                EXPECT_EQ((DWORD)ERROR_MR_MID_NOT_FOUND, GetLastError()) << code;
                continue;
            }
            EXPECT_TRUE(ok) << "code " << code << " lang " << lang << " error " << GetLastError();
            if (!ok) continue;
            // Line breaks became spaces, and the one ending the text stays.
            EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << code;
            ASSERT_GE(text.size(), 2u) << code;
            EXPECT_EQ(' ', text.back()) << code;
            EXPECT_NE(' ', text[text.size() - 2]) << code;
        }
    }
}

TEST(SystemMessage, SystemTexts) {
    bool ok = false;
    std::string text = system_text(ERROR_FILE_NOT_FOUND, 0x0400, &ok);
    ASSERT_TRUE(ok);
    if (platform_is_wine()) {
        // Wine 8's message table has its own, shorter English texts.
        EXPECT_EQ("File not found. ", text);
    } else {
        EXPECT_EQ("The system cannot find the file specified. ", text);
    }

    // Without the width mask the text keeps its CR LF line ends.
    text = system_text(ERROR_ACCESS_DENIED, 0x0400, &ok, FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                                            FORMAT_MESSAGE_IGNORE_INSERTS);
    ASSERT_TRUE(ok);
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
    EXPECT_EQ(std::string::npos, text.substr(0, text.size() - 2).find_first_of("\r\n"));

    // Into a caller's buffer, and with an insert left as it is.
    char buf[300];
    memset(buf, 'x', sizeof buf);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             NULL, ERROR_MR_MID_NOT_FOUND, 0, buf, sizeof buf, NULL);
    ASSERT_NE(0u, n);
    EXPECT_EQ(n, strlen(buf));
    EXPECT_NE(nullptr, strstr(buf, "%1")) << buf;
}

TEST(SystemMessage, Failures) {
    char *buf = NULL;
    // An id without a message.
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(kReportFlags, NULL, 0x2FFF, 0x0400, (LPSTR)&buf, 0, NULL));
    EXPECT_EQ((DWORD)ERROR_MR_MID_NOT_FOUND, GetLastError());
    EXPECT_EQ(NULL, buf);

    // A language whose texts are not installed (German on an English system).
    SetLastError(0);
    DWORD n = FormatMessageA(kReportFlags, NULL, ERROR_FILE_NOT_FOUND, 0x0407, (LPSTR)&buf, 0, NULL);
    if (platform_is_wine()) {
        // Wine 8 ships its message texts in many languages and finds German.
        EXPECT_NE(0u, n);
        EXPECT_EQ((HLOCAL)NULL, LocalFree(buf));
    } else {
        EXPECT_EQ(0u, n);
        EXPECT_EQ((DWORD)ERROR_MUI_FILE_NOT_FOUND, GetLastError());
    }

    // A buffer too small for the text.
    char small[5];
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                 ERROR_FILE_NOT_FOUND, 0x0400, small, sizeof small, NULL));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());

    // LocalFree of nothing is no error.
    EXPECT_EQ((HLOCAL)NULL, LocalFree(NULL));
}

// The shape of message-table text, as Windows documents it and Wine's
// conformance tests check it on Windows.
TEST(SystemMessage, LineBreaksAndEscapes) {
    struct Case {
        DWORD flags;
        const char *in;
        const char *out;
    } cases[] = {
        {FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, "hi\r\n", "hi "},
        {FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, "hi\n", "hi "},
        {FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, "\r\r\n", "  "},
        {FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, "a%nb%rc", "a\r\nb\rc"},
        {FORMAT_MESSAGE_IGNORE_INSERTS, "hi\n", "hi\r\n"},
        {FORMAT_MESSAGE_IGNORE_INSERTS, "\r\r\n", "\r\n\r\n"},
        {FORMAT_MESSAGE_IGNORE_INSERTS, "%n%r%t", "\r\n\r\t"},
        {FORMAT_MESSAGE_IGNORE_INSERTS, "test%0test", "test"},
        {FORMAT_MESSAGE_IGNORE_INSERTS, "test%1%2!*.*s!%99", "test%1%2!*.*s!%99"},
        {FORMAT_MESSAGE_IGNORE_INSERTS, "%%% %.%!", "%%% %.%!"},
        {0, "%%% %.%!", "% .!"},
    };
    for (const Case &c : cases) {
        char out[64];
        memset(out, 'x', sizeof out);
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | c.flags, c.in, 0, 0, out, sizeof out, NULL);
        EXPECT_EQ(strlen(c.out), n) << c.in;
        EXPECT_STREQ(c.out, out) << c.in;
    }
}

// A width from 1 to 254 wraps lines to fewer characters than that.
TEST(SystemMessage, LineWidth) {
    struct Case {
        DWORD width;
        const char *in;
        const char *out;
    } cases[] = {
        {20, "short long line", "short long line"},
        {11, "short long line", "short long\r\nline"},
        {10, "short long line", "short\r\nlong line"},
        {16, "short long    line", "short long\r\nline"},
        {12, "short long    line", "short long\r\n  line"},
        {12, "short long    wordlongerthanaline", "short long\r\n\r\nwordlongerth\r\nanaline"},
        {11, "   shortlong line", "\r\nshortlong\r\nline"},
        {5, "l1               ", "l1\r\n\r\n\r\n  "},
        {8, "shortlongline", "shortlon\r\ngline"},
        {11, "short\nlong line", "short long\r\nline"},
        {8, "short%nlong line", "short\r\nlong\r\nline"},
        {8, "short%rlong line", "short\rlong\r\nline"},
        {11, "short long\tline", "short\r\nlong\tline"},
    };
    for (const Case &c : cases) {
        char out[64];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | c.width, c.in, 0, 0, out, sizeof out, NULL);
        EXPECT_EQ(strlen(c.out), n) << c.in << " width " << c.width;
        EXPECT_STREQ(c.out, out) << c.in << " width " << c.width;
    }
}

DWORD format_va(char *out, DWORD size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, fmt, 0, 0, out, size, &ap);
    va_end(ap);
    return n;
}

TEST(SystemMessage, Inserts) {
    char va_out[64];
    EXPECT_EQ(9u, format_va(va_out, sizeof va_out, "%2-%1!u!-%2", 7u, "abc"));
    EXPECT_STREQ("abc-7-abc", va_out);

    const ULONG_PTR args[] = {(ULONG_PTR) "disk", 42, (ULONG_PTR)-1};
    char out[64];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1 %2!d! %2!04x! %3!d! %1",
                             0, 0, out, sizeof out, (va_list *)args);
    EXPECT_STREQ("disk 42 002a -1 disk", out);
    EXPECT_EQ(strlen(out), n);
}

}  // namespace
