// Shared by the session set-up and the sync points: lock bytes of the master
// file, the clock, and the poll step that a stopped opening thread parks in.
#pragma once

#include "sync/sync.h"

// Lock bytes of the master file.
enum : DWORD {
    SYNC_BYTE_GATE = 0,
    SYNC_BYTE_LIVE_ROLE0 = 1,
    SYNC_BYTE_LIVE_ROLE1 = 2,
    SYNC_BYTE_IN_PROGRESS = 3,
    SYNC_BYTE_POINT_A = 4,  // first pair: 4 and 5
    SYNC_BYTE_POINT_B = 6,  // second pair: 6 and 7
};

enum { SYNC_POLL_MS = 100 };

// One byte of the master file, never waiting (refused: FALSE with ERROR_LOCK_VIOLATION).
// Each call builds a fresh OVERLAPPED holding only the offset.
BOOL sync_lock_byte(SyncSession *session, DWORD offset, int exclusive);
BOOL sync_unlock_byte(SyncSession *session, DWORD offset);

// System time in whole seconds.
inline time_t sync_now(void) { return time(NULL); }
// A wait begun at start has timed out (a timeout of 0 never does).
inline bool sync_timed_out(const SyncSession *session, time_t start) {
    return session->timeout_sec != 0 && sync_now() - start > (time_t)session->timeout_sec;
}

// The 100 ms sleep between two attempts of every poll. A thread inside sync_open
// that the console control handler has asked to stop parks here for good.
void sync_poll_sleep(void);
// Between two attempts of a poll: -1 with 22 filled in once the wait begun at start
// has timed out, else 0 after the sleep.
int sync_wait_step(SyncSession *session, time_t start, CheckError *error);
// The same after a byte was refused (last error): a refusal other than a lock held
// elsewhere is a failure, -1 with 15 filled in.
int sync_refused_step(SyncSession *session, time_t start, CheckError *error);
// At the opening, once both parties have arrived and before the in-progress byte
// is given up: an end-wait file that stands now was left by an interrupted run,
// since neither party can get through a close while the other holds that byte. It
// is noted, not deleted: a delete here made closes through a client that caches
// names (smbnetfs under Wine) wait out their timeout now and then.
void sync_note_stale_endwait(SyncSession *session);
// Gives up a byte: 0, or -1 with the unlock's error (10) filled in.
int sync_unlock_checked(SyncSession *session, DWORD offset, CheckError *error);

