// Tells which of bytes 0 to 7 of a file other handles hold, from a handle of its own:
//
//   lock_probe FILE      prints "held=1,2,4" (or "held=") and exits 0; 2 when FILE cannot be opened,
//                       3 when a lock fails otherwise than refused
//
// Each byte is tried with an exclusive lock that fails at once and given back when granted,
// so the probe must run only while the holders stand still.
#include "platform/win32.h"

int main(int argc, char **argv) {
    if (argc != 2) return 5;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 2;
    printf("held=");
    const char *sep = "";
    for (DWORD offset = 0; offset < 8; ++offset) {
        OVERLAPPED ov = {};
        ov.Offset = offset;
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) {
            OVERLAPPED undo = {};
            undo.Offset = offset;
            UnlockFileEx(file, 0, 1, 0, &undo);
        } else if (GetLastError() != ERROR_LOCK_VIOLATION) {
            fprintf(stderr, "byte %u: error %u\n", (unsigned)offset, (unsigned)GetLastError());
            CloseHandle(file);
            return 3;
        } else {
            printf("%s%u", sep, (unsigned)offset);
            sep = ",";
        }
    }
    printf("\n");
    CloseHandle(file);
    return 0;
}
