// Holds a file open without sharing until told to let go, for the test of a
// report line lost while another process has the log file open.
// Usage: hold_file FILE READY RELEASE
//   opens FILE (read/write, no sharing), creates READY, waits until RELEASE
//   exists (at most 60 s), closes FILE. Exit 0, or 2 when FILE cannot be opened,
//   3 when RELEASE never came.
#include "platform/win32.h"

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return 2;
    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready == INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return 2;
    }
    CloseHandle(ready);
    int status = 3;
    for (int i = 0; i < 1200; ++i) {
        if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) {
            status = 0;
            break;
        }
        Sleep(50);
    }
    CloseHandle(file);
    return status;
}
