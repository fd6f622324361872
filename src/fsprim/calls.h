// Every call through which the checks of all modes and the rendezvous reach the
// system: the Win32 calls that can fail, the file primitives built on them, and the
// two meetings of the rendezvous. The tool always runs with the real functions;
// in-process tests replace entries one by one to make a folder misbehave (a call
// that fails, a lock that is always granted or never), and put them back with
// sys_calls_reset. Calls that cannot fail in a way the checks tell apart (the last
// error, the current ids, Sleep, the cleanup lock) are made directly.
#pragma once

#include "fsprim/fsprim.h"

struct SyncSession;

// Each entry has the type of the function it stands for.
struct SysCalls {
    // File primitives.
    decltype(&::open_share_file) open_share_file;
    decltype(&::lock_range) lock_range;
    decltype(&::unlock_range) unlock_range;
    decltype(&::lock_range_timed) lock_range_timed;
    decltype(&::unlock_range_timed) unlock_range_timed;
    decltype(&::wait_overlapped_timed) wait_overlapped_timed;
    decltype(&::delete_work_file) delete_work_file;
    decltype(&::close_handle_reset) close_handle_reset;
    decltype(&::make_work_file_name) make_work_file_name;
    // The rendezvous, which lies above this layer: null until sync_install.
    SyncSession *(*sync_open)(int kind, const char *folder, int32_t timeout_sec);
    int (*sync_point)(SyncSession *session);
    // Win32.
    decltype(&CreateFileA) create_file;
    decltype(&LockFileEx) lock_file_ex;
    decltype(&UnlockFileEx) unlock_file_ex;
    decltype(&WriteFile) write_file;
    decltype(&ReadFile) read_file;
    decltype(&FlushFileBuffers) flush_file_buffers;
    decltype(&GetOverlappedResult) get_overlapped_result;
    decltype(&CancelIoEx) cancel_io_ex;
    decltype(&CloseHandle) close_handle;
    decltype(&DeleteFileA) delete_file;
    decltype(&GetFileAttributesA) get_file_attributes;
    decltype(&GetComputerNameExA) get_computer_name_ex;
    decltype(&CreateEventA) create_event;
    decltype(&SetEvent) set_event;
    decltype(&CreateWaitableTimerA) create_waitable_timer;
    decltype(&SetWaitableTimer) set_waitable_timer;
    decltype(&CreateThread) create_thread;
    decltype(&GetExitCodeThread) get_exit_code_thread;
    decltype(&WaitForSingleObject) wait_for_single_object;
};

extern SysCalls sys_calls;

// Puts every entry back to the real function.
void sys_calls_reset(void);

// The rendezvous layer's entries, which stay in place across sys_calls_reset.
void sys_calls_install_sync(SyncSession *(*open)(int, const char *, int32_t), int (*point)(SyncSession *));
