// A second process for the cross-process file tests: it holds one file handle and
// runs one command per input line, answering one line each ("ok", "pending" or
// "err <code>"), so that a test can interleave its steps with another process.
//   open PATH ACCESS SHARE DISPOSITION FLAGS   (numbers in C notation: 0x... accepted)
//   opensd PATH ...                            as open, with a NULL-DACL descriptor
//   lock OFFSET LENGTH FLAGS | unlock OFFSET LENGTH
//   poll | wait                                GetOverlappedResult of the last lock, bWait FALSE / TRUE
//   attr PATH                                  GetFileAttributesA: "attr 0x..." or "err <code>"
//   close | delete PATH | quit
//   deleteloop PATH STOPPATH                   DeleteFileA of PATH until STOPPATH exists: "ok <deleted> <refused>"
#include "platform/win32.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

HANDLE g_file = INVALID_HANDLE_VALUE;
HANDLE g_event = NULL;
OVERLAPPED g_ov;  // outlives every request made with it

void reply_ok() { printf("ok\n"); }
void reply_err() { printf("err %lu\n", (unsigned long)GetLastError()); }
void reply(BOOL ok) { ok ? reply_ok() : reply_err(); }

unsigned long num(const char *s) { return s ? strtoul(s, NULL, 0) : 0; }

void do_open(char *rest, bool null_dacl) {
    char *path = strtok(rest, " ");
    DWORD access = num(strtok(NULL, " "));
    DWORD share = num(strtok(NULL, " "));
    DWORD disp = num(strtok(NULL, " "));
    DWORD flags = num(strtok(NULL, " "));
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, NULL, FALSE);
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
    g_file = CreateFileA(path ? path : "", access, share, null_dacl ? &sa : NULL, disp, flags, NULL);
    reply(g_file != INVALID_HANDLE_VALUE);
}

// Deletes until the stop file exists, for a test that opens the file meanwhile.
void delete_loop(const char *path, const char *stop) {
    unsigned long deleted = 0, refused = 0;
    while (GetFileAttributesA(stop) == INVALID_FILE_ATTRIBUTES) {
        if (DeleteFileA(path))
            ++deleted;
        else if (GetLastError() == ERROR_SHARING_VIOLATION)
            ++refused;
        else if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return reply_err();
    }
    printf("ok %lu %lu\n", deleted, refused);
}

}  // namespace

int main() {
    setvbuf(stdout, NULL, _IONBF, 0);
    g_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    char line[1024];
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char *rest = strchr(line, ' ');
        if (rest) *rest++ = '\0';
        if (strcmp(line, "open") == 0 || strcmp(line, "opensd") == 0) {
            do_open(rest ? rest : line + strlen(line), strcmp(line, "opensd") == 0);
        } else if (strcmp(line, "lock") == 0 || strcmp(line, "unlock") == 0) {
            bool lock = strcmp(line, "lock") == 0;
            unsigned long long off = strtoull(rest ? strtok(rest, " ") : "0", NULL, 0);
            DWORD len = num(strtok(NULL, " "));
            DWORD flags = lock ? num(strtok(NULL, " ")) : 0;
            memset(&g_ov, 0, sizeof g_ov);
            g_ov.Offset = (DWORD)off;
            g_ov.OffsetHigh = (DWORD)(off >> 32);
            g_ov.hEvent = g_event;
            BOOL ok = lock ? LockFileEx(g_file, flags, 0, len, 0, &g_ov) : UnlockFileEx(g_file, 0, len, 0, &g_ov);
            if (!ok && lock && GetLastError() == ERROR_IO_PENDING)
                printf("pending\n");
            else
                reply(ok);
        } else if (strcmp(line, "poll") == 0 || strcmp(line, "wait") == 0) {
            DWORD n = 0;
            reply(GetOverlappedResult(g_file, &g_ov, &n, strcmp(line, "wait") == 0));
        } else if (strcmp(line, "close") == 0) {
            BOOL ok = CloseHandle(g_file);
            if (ok) g_file = INVALID_HANDLE_VALUE;
            reply(ok);
        } else if (strcmp(line, "delete") == 0) {
            reply(DeleteFileA(rest ? rest : ""));
        } else if (strcmp(line, "deleteloop") == 0) {
            const char *path = rest ? strtok(rest, " ") : NULL;
            const char *stop = path ? strtok(NULL, " ") : NULL;
            if (stop != NULL)
                delete_loop(path, stop);
            else
                printf("err usage\n");
        } else if (strcmp(line, "attr") == 0) {
            DWORD a = GetFileAttributesA(rest ? rest : "");
            if (a == INVALID_FILE_ATTRIBUTES)
                reply_err();
            else
                printf("attr 0x%lx\n", (unsigned long)a);
        } else if (strcmp(line, "quit") == 0) {
            break;
        } else {
            printf("err unknown\n");
        }
    }
    if (g_file != INVALID_HANDLE_VALUE) CloseHandle(g_file);
    CloseHandle(g_event);
    return 0;
}
