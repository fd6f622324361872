// The calls through which the checks of mode single reach the system: the Win32
// calls they make themselves and the file primitives that make the rest. The
// tool always runs with the real functions; in-process tests replace entries one
// by one to make a folder misbehave (a call that fails, a lock that is always
// granted or never), and put them back with single_calls_reset.
#pragma once

#include "fsprim/fsprim.h"
#include "sync/sync.h"

struct SingleCalls {
    // File primitives.
    HANDLE (*open_share_file)(const char *name, DWORD access, DWORD share_mode, DWORD disposition);
    int (*lock_range)(HANDLE file, int exclusive, OVERLAPPED *overlapped);
    int (*unlock_range)(HANDLE file);
    int (*lock_range_timed)(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, int exclusive,
                            int wait, CheckError *error, int report_refusal);
    int (*unlock_range_timed)(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, CheckError *error);
    int (*wait_overlapped_timed)(HANDLE file, OVERLAPPED *overlapped, HANDLE timer, LONGLONG due_time);
    int (*delete_work_file)(const char *name);
    int (*close_handle_reset)(HANDLE *handle);
    int (*make_work_file_name)(int kind, const char *folder, int32_t number, char *out);
    // Rendezvous of the two parties of the paired lock test.
    SyncSession *(*sync_open)(int kind, const char *folder, int32_t timeout_sec);
    int (*sync_point)(SyncSession *session);
    // Win32.
    HANDLE(WINAPI *create_event)(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                                 LPCSTR name);
    HANDLE(WINAPI *create_waitable_timer)(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, LPCSTR name);
    BOOL(WINAPI *write_file)(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI *read_file)(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
    BOOL(WINAPI *flush_file_buffers)(HANDLE file);
    BOOL(WINAPI *cancel_io_ex)(HANDLE file, LPOVERLAPPED overlapped);
    BOOL(WINAPI *unlock_file_ex)(HANDLE file, DWORD reserved, DWORD count_low, DWORD count_high,
                                 LPOVERLAPPED overlapped);
    BOOL(WINAPI *close_handle)(HANDLE object);
    BOOL(WINAPI *delete_file)(LPCSTR name);
    HANDLE(WINAPI *create_thread)(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD thread_id);
    DWORD(WINAPI *wait_for_single_object)(HANDLE object, DWORD milliseconds);
};

extern SingleCalls single_calls;

// Puts every entry back to the real function.
void single_calls_reset(void);
