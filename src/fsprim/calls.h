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

struct SysCalls {
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
    // The rendezvous, which lies above this layer: null until sync_install.
    SyncSession *(*sync_open)(int kind, const char *folder, int32_t timeout_sec);
    int (*sync_point)(SyncSession *session);
    // Win32.
    HANDLE(WINAPI *create_file)(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes,
                                DWORD disposition, DWORD flags, HANDLE template_file);
    BOOL(WINAPI *lock_file_ex)(HANDLE file, DWORD flags, DWORD reserved, DWORD count_low, DWORD count_high,
                               LPOVERLAPPED overlapped);
    BOOL(WINAPI *unlock_file_ex)(HANDLE file, DWORD reserved, DWORD count_low, DWORD count_high,
                                 LPOVERLAPPED overlapped);
    BOOL(WINAPI *write_file)(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
    BOOL(WINAPI *read_file)(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
    BOOL(WINAPI *flush_file_buffers)(HANDLE file);
    BOOL(WINAPI *get_overlapped_result)(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
    BOOL(WINAPI *cancel_io_ex)(HANDLE file, LPOVERLAPPED overlapped);
    BOOL(WINAPI *close_handle)(HANDLE object);
    BOOL(WINAPI *delete_file)(LPCSTR name);
    DWORD(WINAPI *get_file_attributes)(LPCSTR name);
    BOOL(WINAPI *get_computer_name_ex)(COMPUTER_NAME_FORMAT format, LPSTR buffer, LPDWORD size);
    HANDLE(WINAPI *create_event)(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                                 LPCSTR name);
    BOOL(WINAPI *set_event)(HANDLE event);
    HANDLE(WINAPI *create_waitable_timer)(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, LPCSTR name);
    BOOL(WINAPI *set_waitable_timer)(HANDLE timer, const LARGE_INTEGER *due_time, LONG period,
                                     PTIMERAPCROUTINE completion, LPVOID argument, BOOL resume);
    HANDLE(WINAPI *create_thread)(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD thread_id);
    BOOL(WINAPI *get_exit_code_thread)(HANDLE thread, LPDWORD code);
    DWORD(WINAPI *wait_for_single_object)(HANDLE object, DWORD milliseconds);
};

extern SysCalls sys_calls;

// Puts every entry back to the real function.
void sys_calls_reset(void);

// The rendezvous layer's entries, which stay in place across sys_calls_reset.
void sys_calls_install_sync(SyncSession *(*open)(int, const char *, int32_t), int (*point)(SyncSession *));
