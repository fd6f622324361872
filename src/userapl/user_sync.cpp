// The handshake with the user: a sync file beside the target file that the user
// deletes once a step is done, watched by a thread of its own.
#include "userapl/userapl.h"

#include <new>

#include "base/cleanup_lock.h"
#include "base/pathsplit.h"
#include "fsprim/calls.h"

HANDLE user_sync_handle = INVALID_HANDLE_VALUE;
char user_sync_name[USER_SYNC_NAME_MAX];

void user_sync_release_params(SyncWatchParams *params) {
    if (params->owners.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (params->stop_event != NULL) sys_calls.close_handle(params->stop_event);
    delete params;
}

int user_sync_file_name(const CheckContext *ctx, char *out) {
    SplitPath parts;
    if (split_path(ctx->targetfile, &parts) != 0) return -1;
    // A truncated name would be a different file from the one the user is told
    // about, so it is refused rather than cut.
    int n = snprintf(out, USER_SYNC_NAME_MAX - 1, "%s%s" USER_SYNC_FILE, parts.drive, parts.dir);
    if (n < 0 || n >= USER_SYNC_NAME_MAX - 1) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int user_sync_wait(CheckContext *ctx, CheckError *error) {
    int result = -1;
    HANDLE stop_event = NULL;
    HANDLE thread = NULL;
    SyncWatchParams *params = nullptr;
    char name[USER_SYNC_NAME_MAX] = {0};

    // Every way out closes what was made and removes the sync file.
    struct Ending {
        HANDLE *stop_event;
        HANDLE *thread;
        SyncWatchParams **params;
        ~Ending() {
            if (*params != nullptr) {
                // Harmless when the thread has ended; otherwise it stops at its next look.
                sys_calls.set_event((*params)->stop_event);
                user_sync_release_params(*params);
            } else if (*stop_event != NULL) {
                sys_calls.close_handle(*stop_event);
            }
            if (*thread != NULL) sys_calls.close_handle(*thread);
            user_sync_cleanup(0);
        }
    } ending{&stop_event, &thread, &params};

    if (user_sync_file_name(ctx, name) != 0) {
        set_check_error(error, CHECK_PATH_NOT_PARSED, 0);
        return result;
    }
    EnterCriticalSection(&g_cleanup_lock);
    memcpy(user_sync_name, name, sizeof user_sync_name);
    LeaveCriticalSection(&g_cleanup_lock);

    report_infof("外部アプリケーション同期ファイルを作成します。(%s)", name);

    EnterCriticalSection(&g_cleanup_lock);
    if (user_sync_name[0] == '\0') {
        // The console control handler has run since the name was set: the process
        // is ending, and a file made now would be left behind.
        LeaveCriticalSection(&g_cleanup_lock);
        SetLastError(ERROR_OPERATION_ABORTED);
        set_check_error(error, CHECK_SYNC_FILE_NOT_CREATED);
        return result;
    }
    user_sync_handle = sys_calls.open_share_file(name, GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    if (user_sync_handle == INVALID_HANDLE_VALUE) {
        set_check_error(error, CHECK_SYNC_FILE_NOT_CREATED);
        LeaveCriticalSection(&g_cleanup_lock);
        return result;
    }
    sys_calls.close_handle_reset(&user_sync_handle);
    LeaveCriticalSection(&g_cleanup_lock);

    stop_event = sys_calls.create_event(NULL, FALSE, FALSE, NULL);
    if (stop_event == NULL) {
        set_check_error(error, CHECK_WATCH_THREAD_FAILED);
        return result;
    }
    params = new (std::nothrow) SyncWatchParams;
    if (params == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        set_check_error(error, CHECK_WATCH_THREAD_FAILED);
        return result;
    }
    params->context = ctx;
    memset(params->name, 0, sizeof params->name);
    memcpy(params->name, name, sizeof name);
    params->stop_event = stop_event;
    params->owners.store(2, std::memory_order_relaxed);
    stop_event = NULL;  // the record owns it now

    report_info("同期スレッドを生成します。");
    thread = sys_calls.create_thread(NULL, 0, user_sync_watch, params, 0, NULL);
    if (thread == NULL) {
        set_check_error(error, CHECK_WATCH_THREAD_FAILED);
        params->owners.fetch_sub(1, std::memory_order_relaxed);  // the thread's claim
        return result;
    }

    report_info("外部アプリケーション同期ファイルが削除されるまで待機します。");
    LONGLONG ms = ctx->timeout > 0 ? (LONGLONG)ctx->timeout * 1000 : 0;
    DWORD wait_ms = ms < (LONGLONG)INFINITE ? (DWORD)ms : INFINITE - 1;
    DWORD waited = sys_calls.wait_for_single_object(thread, wait_ms);
    if (waited == WAIT_TIMEOUT) {
        if (sys_calls.delete_work_file(params->name) != 0) {
            report_infof("同期ファイルの削除に失敗しました。(%lu)", (unsigned long)GetLastError());
            report_info("同期スレッドを停止します。");
            sys_calls.set_event(params->stop_event);
        } else {
            report_infof("同期ファイルを削除しました。(%s)", params->name);
        }
        set_check_error(error, CHECK_TIMEOUT, 0);
        return result;
    }

    DWORD wait_error = waited == WAIT_FAILED ? GetLastError() : 0;
    DWORD exit_code = 0;
    if (!sys_calls.get_exit_code_thread(thread, &exit_code)) {
        // Whether the watch ended well is unknown, so the step cannot count as done.
        set_check_error(error, CHECK_SYNC_FILE_NOT_WATCHED);
        return result;
    }
    if (exit_code != 0) {
        // STILL_ACTIVE after a failed wait: the wait's own error says why.
        SetLastError(wait_error);
        set_check_error(error, CHECK_SYNC_FILE_NOT_WATCHED);
        return result;
    }
    result = 0;
    return result;
}

DWORD WINAPI user_sync_watch(LPVOID arg) {
    SyncWatchParams *params = static_cast<SyncWatchParams *>(arg);
    for (;;) {
        if (sys_calls.wait_for_single_object(params->stop_event, 0) == WAIT_OBJECT_0) break;
        // Any failure counts as deleted: a folder that has become unreachable
        // must not hold the user until the timeout.
        if (sys_calls.get_file_attributes(params->name) == INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    user_sync_release_params(params);
    return 0;
}

BOOL WINAPI user_sync_cleanup(DWORD) {
    char deleted[USER_SYNC_NAME_MAX] = {0};
    // Serialised with the waiting thread and with a second run of this routine (the
    // console control handler and the main thread may both be here at once). As the
    // handler it may run after the entry deleted the lock: the main thread's own
    // run has then released everything.
    if (!enter_cleanup_lock_in_handler()) return FALSE;
    if (user_sync_handle != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(&user_sync_handle);
    if (user_sync_name[0] != '\0') {
        if (sys_calls.delete_file(user_sync_name)) memcpy(deleted, user_sync_name, sizeof deleted);
        memset(user_sync_name, 0, sizeof user_sync_name);
    }
    leave_cleanup_lock_in_handler();
    // On the handler's thread the report drops the line.
    if (deleted[0] != '\0') report_infof(FILE_DELETED, deleted);
    return FALSE;
}
