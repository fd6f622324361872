#include "fsprim/calls.h"

static SysCalls real_calls = {
    open_share_file,
    lock_range,
    unlock_range,
    lock_range_timed,
    unlock_range_timed,
    wait_overlapped_timed,
    delete_work_file,
    close_handle_reset,
    make_work_file_name,
    nullptr,
    nullptr,
    CreateFileA,
    LockFileEx,
    UnlockFileEx,
    WriteFile,
    ReadFile,
    FlushFileBuffers,
    GetOverlappedResult,
    CancelIoEx,
    CloseHandle,
    DeleteFileA,
    GetFileAttributesA,
    GetComputerNameExA,
    CreateEventA,
    SetEvent,
    CreateWaitableTimerA,
    SetWaitableTimer,
    CreateThread,
    GetExitCodeThread,
    WaitForSingleObject,
};

SysCalls sys_calls = real_calls;

void sys_calls_reset(void) { sys_calls = real_calls; }

void sys_calls_install_sync(SyncSession *(*open)(int, const char *, int32_t), int (*point)(SyncSession *)) {
    real_calls.sync_open = sys_calls.sync_open = open;
    real_calls.sync_point = sys_calls.sync_point = point;
}
