// Mode double: driver, cleanup registry and the two-process tests.
#pragma once

#include "base/report.h"

struct SyncSession;

// What the running mutual test must release however it stops: filled by the test
// as it opens or names things, emptied by mutual_cleanup under the cleanup lock.
struct MutualRegistry {
    HANDLE own_handle;    // INVALID_HANDLE_VALUE when none
    HANDLE peer_handle;   // INVALID_HANDLE_VALUE when none
    char own_name[261];   // empty when none
    char peer_name[261];  // empty when none
    SyncSession *session; // null when none
};

extern MutualRegistry mutual_registry;

TestResult mutual_check(CheckContext *ctx);
TestResult mutual_open_test(CheckContext *ctx, int selector);
TestResult mutual_lock_test(CheckContext *ctx, int selector);
TestResult mutual_delete_test(CheckContext *ctx, int selector);

// CLEANUP_ORDERLY: the end of a test (sync_close); CLEANUP_INTERRUPTED: a console
// control event (sync_release, rendezvous files deleted). Returns 0.
enum { CLEANUP_ORDERLY = 0, CLEANUP_INTERRUPTED = 1 };
int mutual_cleanup(int flag);
BOOL WINAPI mutual_ctrl_handler(DWORD ctrl_type);

// The start that the open and the delete test share and their meetings: the
// session, registered with both work files' names, the own file opened, the first
// meeting. The registry is released when the object goes.
class MutualTest {
  public:
    MutualTest() = default;
    ~MutualTest();
    MutualTest(const MutualTest &) = delete;
    MutualTest &operator=(const MutualTest &) = delete;
    // TEST_OK to go on, else the test's result (its lines written).
    TestResult begin(CheckContext *ctx, int selector);
    // A sync point: TEST_OK, or TEST_ABORTED after the test's error line.
    TestResult meet();
    CheckError error = {0, 0};

  private:
    SyncSession *session_ = nullptr;
};

// Empties the registry, installs mutual_ctrl_handler and registers the session;
// every mutual test calls it right after sync_open has met the other process.
void mutual_registry_begin(SyncSession *session);
// mutual_cleanup(CLEANUP_ORDERLY), then the handler goes.
void mutual_registry_end(void);
