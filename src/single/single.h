// Mode single: driver, cleanup registry and tests.
#pragma once

#include "base/context.h"

struct SyncSession;

struct SingleSlot {
    HANDLE handle;
    HANDLE handle2;
    char file_name[261];
    SyncSession *session;
};

extern SingleSlot single_slots[2];
extern uint32_t handler_slot;

TestResult single_check(CheckContext *ctx);

// A category of tests of one folder: its title and its test.
struct TestCategory {
    const char *title;
    TestResult (*test)(CheckContext *ctx, int selector);
};
extern const char CATEGORY_OPEN[];
extern const char CATEGORY_READ_WRITE[];
extern const char CATEGORY_LOCK[];
extern const char CATEGORY_DELETE[];
// The categories of one folder between the begin and end lines of its target
// group; an abort skips the categories after it.
TestResult run_target_group(CheckContext *ctx, int selector, const TestCategory *categories, int count);
TestResult open_test(CheckContext *ctx, int selector);
TestResult read_write_test(CheckContext *ctx, int selector);
TestResult lock_test(CheckContext *ctx, int selector);
// One party of the paired part of lock_test; run by the main and the partner thread.
TestResult paired_lock_test(CheckContext *ctx, int selector);
TestResult delete_test(CheckContext *ctx, int selector);
// Waits, bounded, for a partner thread that outlived its lock test; the process
// must not end under it, or its rendezvous and work files stay behind.
void wait_for_partner_straggler(int32_t timeout_sec);
int single_slot_cleanup(int slot);
BOOL WINAPI single_ctrl_handler(DWORD ctrl_type);
