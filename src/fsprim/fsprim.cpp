// File primitives and work-file names.
#include "fsprim/calls.h"

const char FILE_OPENING[] = "ファイルをオープンします。(%s)";
const char FILE_DELETED[] = "ファイルを削除しました。(%s)";

void null_dacl_attributes(SECURITY_DESCRIPTOR *sd, SECURITY_ATTRIBUTES *sa) {
    InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(sd, TRUE, NULL, FALSE);
    sa->nLength = sizeof *sa;
    sa->lpSecurityDescriptor = sd;
    sa->bInheritHandle = FALSE;
}

HANDLE open_share_file(const char *name, DWORD access, DWORD share_mode, DWORD disposition) {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    null_dacl_attributes(&descriptor, &attributes);
    return sys_calls.create_file(name, access, share_mode, &attributes, disposition, FILE_FLAG_OVERLAPPED, NULL);
}

int lock_range(HANDLE file, int exclusive, OVERLAPPED *overlapped) {
    DWORD flags = exclusive != 0 ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (sys_calls.lock_file_ex(file, flags, 0, 1, 0, overlapped)) return 0;
    return GetLastError() == ERROR_IO_PENDING ? -2 : -1;
}

int unlock_range(HANDLE file) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    return sys_calls.unlock_file_ex(file, 0, 1, 0, &overlapped) ? 0 : -1;
}

int delete_work_file(const char *name) { return sys_calls.delete_file(name) ? 0 : -1; }

int close_handle_reset(HANDLE *handle) {
    if (handle == nullptr) return -1;
    if (!sys_calls.close_handle(*handle)) return -1;
    *handle = INVALID_HANDLE_VALUE;
    return 0;
}

namespace {

enum { COMPUTER_NAME_MAX = 256 };

// Length of the longest head of text, at most max bytes, that ends on a whole
// character of the ANSI code page.
size_t whole_chars(const char *text, size_t max) {
    size_t n = 0;
    while (text[n] != '\0') {
        size_t width = (IsDBCSLeadByte((BYTE)text[n]) && text[n + 1] != '\0') ? 2 : 1;
        if (n + width > max) break;
        n += width;
    }
    return n;
}

}  // namespace

// A name that does not fit is never cut at its end, where the number that tells
// the two parties' files apart stands (both would get one name). Kind 1 shortens
// the computer name instead; when even the folder, prefix and numbers alone do not
// fit, the output is left empty and -1 returned, so the caller's open fails. That
// depends only on the folder text, so both runs of mode double agree on kind 2.
int make_work_file_name(int kind, const char *folder, int32_t number, char *out) {
    char computer[COMPUTER_NAME_MAX];
    memset(computer, 0, sizeof computer);
    if (kind == MODE_SINGLE) {
        DWORD size = sizeof computer;
        if (!sys_calls.get_computer_name_ex(ComputerNamePhysicalDnsFullyQualified, computer, &size)) return -1;
        computer[sizeof computer - 1] = '\0';
        unsigned long pid = (unsigned long)GetCurrentProcessId();
        // Room left for the computer name once everything else is in place.
        int rest = snprintf(nullptr, 0, "%s\\%s..%lu.%d", folder, WORK_FILE_PREFIX, pid, (int)number);
        if (rest < 0 || rest >= WORK_NAME_MAX) {
            out[0] = '\0';
            return -1;
        }
        size_t room = (size_t)(WORK_NAME_MAX - 1 - rest);
        computer[whole_chars(computer, room)] = '\0';
        char name[WORK_NAME_MAX];
        int n = snprintf(name, sizeof name, "%s\\%s.%s.%lu.%d", folder, WORK_FILE_PREFIX, computer, pid, (int)number);
        if (n < 0 || n >= WORK_NAME_MAX) {
            out[0] = '\0';
            return -1;
        }
        memcpy(out, name, (size_t)n + 1);
        return 0;
    }
    if (kind == MODE_DOUBLE) {
        char name[WORK_NAME_MAX];
        int n = snprintf(name, sizeof name, "%s\\%s.%d", folder, WORK_FILE_PREFIX, (int)number);
        if (n < 0 || n >= WORK_NAME_MAX) {
            out[0] = '\0';
            return -1;
        }
        memcpy(out, name, (size_t)n + 1);
        return 0;
    }
    return 0;
}
