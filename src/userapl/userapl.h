// Mode userapl: the external-application check and the sync-file handshake.
#pragma once

#include <atomic>

#include "base/context.h"
#include "base/report.h"

TestResult external_app_check(CheckContext *ctx);

// The file whose deletion tells the tool that the user has done a step; it lies
// beside the target file.
#define USER_SYNC_FILE "KAVSTOP.stop"
enum { USER_SYNC_NAME_MAX = 261, USER_SYNC_PARAM_NAME_MAX = 264 };

// The sync file of the wait in progress, for the console control handler: the
// handle (INVALID_HANDLE_VALUE when none) and the name (empty when none). Both are
// changed only under the cleanup lock.
extern HANDLE user_sync_handle;
extern char user_sync_name[USER_SYNC_NAME_MAX];

// What a watch thread reads. Shared by the waiting thread and the watch thread:
// each drops its claim with user_sync_release_params, and the last one closes the
// stop event and frees the record, so neither can pull it from under the other.
struct SyncWatchParams {
    CheckContext *context;
    char name[USER_SYNC_PARAM_NAME_MAX];
    HANDLE stop_event;
    std::atomic<int> owners;
};

void user_sync_release_params(SyncWatchParams *params);

// The sync-file name beside ctx->targetfile (drive and folder of the target, or
// the bare name for a target without a folder) into out (USER_SYNC_NAME_MAX
// bytes); 0, or -1 when the path cannot be split or the name would not fit.
int user_sync_file_name(const CheckContext *ctx, char *out);

// Creates the sync file and waits, at most ctx->timeout seconds, until it is
// deleted. 0 when the user deleted it; -1 with error filled (22, 25, 29, 30, 31).
int user_sync_wait(CheckContext *ctx, CheckError *error);

// The watch thread: polls every 100 ms until the sync file is gone or the stop
// event is signalled. Always ends with 0.
DWORD WINAPI user_sync_watch(LPVOID params);

// Closes and deletes the sync file; also the mode's console control handler (the
// control type is ignored). Always FALSE, so the default handling follows.
BOOL WINAPI user_sync_cleanup(DWORD ctrl_type);
