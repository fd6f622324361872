// The two-party lock sequence: each party locks its own work file and tries locks
// on the other's, the two kept in step by sync points. Mode single runs it on two
// threads of one process, mode double on two processes; a mode says how its
// party registers what it holds for its clean-up and console control handler.
#pragma once

#include "base/report.h"

struct SyncSession;

// Detail lines of the lock steps, also written by the solo part of mode single.
extern const char LOCK_OWN_EXCLUSIVE[];
extern const char LOCK_OWN_SHARED[];
extern const char UNLOCK_OWN[];
// Detail lines of the two-party tests of both modes.
extern const char SYNC_OPENING[];
extern const char OPENING_OWN_FILE[];   // with the file's name
extern const char OPENING_PEER_FILE[];  // with the file's name

// Where a party's files and their names are registered.
struct LockPairFiles {
    char *own_name;
    char *peer_name;
    HANDLE *own;
    HANDLE *peer;
};

struct LockPairMode {
    int rendezvous_kind;
    // Which column of the waiting cases' meetings this mode passes (0 threads, 1 processes).
    int meetings;
    TestResult bad_selector;
    // Claims the registry for the party of the role with its session and installs
    // the mode's console control handler; release undoes both on the way out,
    // closing and deleting the files and ending the session.
    void (*claim)(int role, SyncSession *session);
    void (*release)(int role);
    LockPairFiles (*files)(int role);
    // Forms a work-file name into a registered buffer, opens a work file into a
    // registered handle (INVALID_HANDLE_VALUE with the last error on failure).
    int (*name)(char *registered, int kind, const char *folder, int32_t number);
    HANDLE (*open)(HANDLE *registered, const char *name);
};

// One party's whole run: the session, its files and the sequence. 0, 1, or -1
// when a meeting failed.
TestResult lock_pair_test(CheckContext *ctx, int selector, const LockPairMode *mode);

// The folder of a selector, or null for any other selector.
const char *selected_folder(const CheckContext *ctx, int selector);
// Check error of a work file of the folder that could not be opened.
CheckCode open_failure_code(int selector);
