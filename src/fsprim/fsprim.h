// File primitives, work-file names and the timed lock operations.
#pragma once

#include "base/context.h"
#include "base/report.h"

// Arguments of the lock operations.
enum LockKind { LOCK_SHARED = 0, LOCK_EXCLUSIVE = 1 };
enum LockWait { LOCK_NO_WAIT = 0, LOCK_WAIT = 1 };
enum RefusalReport { REFUSAL_SILENT = 0, REFUSAL_REPORTED = 1 };

// Detail lines about a work file, with its name.
extern const char FILE_OPENING[];
extern const char FILE_DELETED[];

// Work-file names: buffer of 260 bytes, terminator included.
enum { WORK_NAME_MAX = 260 };
#define WORK_FILE_PREFIX ".#KAVLOCK"

// Fills attributes whose NULL DACL lets every account use a file that is created
// with them (not inheritable); sa points to sd afterwards.
void null_dacl_attributes(SECURITY_DESCRIPTOR *sd, SECURITY_ATTRIBUTES *sa);

HANDLE open_share_file(const char *name, DWORD access, DWORD share_mode, DWORD disposition);
// 0 granted, -2 queued (ERROR_IO_PENDING), -1 refused or failed.
int lock_range(HANDLE file, int exclusive, OVERLAPPED *overlapped);
int unlock_range(HANDLE file);
int delete_work_file(const char *name);
int close_handle_reset(HANDLE *handle);
// kind 1: folder\.#KAVLOCK.<fqdn>.<pid>.<number>; kind 2: folder\.#KAVLOCK.<number>.
int make_work_file_name(int kind, const char *folder, int32_t number, char *out);

// -1 leaves *error untouched only for a refusal with report_refusal 0; a timeout
// or a request that could not be made is always written.
int lock_range_timed(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, int exclusive, int wait,
                     CheckError *error, int report_refusal);
int unlock_range_timed(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, CheckError *error);
// 0 done, -1 ended with an error (last error), -3 still pending when the timer fired.
// A timer that cannot be read ends the wait at once: the operation is withdrawn, -1
// with the timer's error once it has ended (successfully or not), -3 if it has not.
int wait_overlapped_timed(HANDLE file, OVERLAPPED *overlapped, HANDLE timer, LONGLONG due_time);

// The relative due time of a timeout in seconds, in 100-ns units.
inline LONGLONG timeout_due_time(int32_t seconds) { return (LONGLONG)seconds * -10000000LL; }
