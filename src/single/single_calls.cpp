#include "single/single_calls.h"

static const SingleCalls real_calls = {
    open_share_file,
    lock_range,
    unlock_range,
    lock_range_timed,
    unlock_range_timed,
    wait_overlapped_timed,
    delete_work_file,
    close_handle_reset,
    make_work_file_name,
    sync_open,
    sync_point,
    CreateEventA,
    CreateWaitableTimerA,
    WriteFile,
    ReadFile,
    FlushFileBuffers,
    CancelIoEx,
    UnlockFileEx,
    CloseHandle,
    DeleteFileA,
    CreateThread,
    WaitForSingleObject,
};

SingleCalls single_calls = real_calls;

void single_calls_reset(void) { single_calls = real_calls; }
