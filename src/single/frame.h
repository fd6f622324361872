// The frame every test of mode single runs in, and the small guards it is made of.
#pragma once

#include "base/report.h"
#include "base/scope_exit.h"
#include "fsprim/calls.h"
#include "single/lock_pair.h"
#include "single/single.h"

// Claims a slot of the cleanup registry for a test (handles invalid, names empty,
// the session) and adds the console control handler; slot_release releases the
// slot (single_slot_cleanup) and removes the handler.
void slot_claim(int slot, SyncSession *session);
void slot_release(int slot);

// A test's events, timer and I/O block, and the operations on its files that may
// still be outstanding; all NULL when none.
struct TestObjects {
    HANDLE events[2];
    HANDLE timer;
    void *block;  // io_block_new
    struct {
        HANDLE file;
        OVERLAPPED *ov;
    } pending[3];  // one for each record of the block
};

// A test's hold on its place in its mode's cleanup registry (claimed with the
// console control handler added) and on its objects. On the way out, in this
// order: the outstanding operations are withdrawn, the registry is released (its
// files closed, which ends whatever did not end), the events and the timer are
// closed, and the block is given back, or kept for good if an operation never ended.
class TestFrame {
  public:
    TestFrame(void (*claim)(int, SyncSession *), void (*release)(int), int slot, SyncSession *session)
        : release_(release), slot_(slot) {
        claim(slot, session);
    }
    ~TestFrame();
    TestFrame(const TestFrame &) = delete;
    TestFrame &operator=(const TestFrame &) = delete;
    TestObjects objects = {};

  protected:
    void (*release_)(int);
    int slot_;
};

// The frame of a test of mode single, in a slot of its registry.
class SlotFrame : public TestFrame {
  public:
    SlotFrame(int slot, SyncSession *session) : TestFrame(slot_claim, slot_release, slot, session) {}
    SingleSlot *slot() const { return &single_slots[slot_]; }
};

// Closes a thread handle on the way out.
class HandleGuard {
  public:
    HandleGuard() = default;
    ~HandleGuard();
    HandleGuard(const HandleGuard &) = delete;
    HandleGuard &operator=(const HandleGuard &) = delete;
    HANDLE handle = NULL;
};

// Opens a work file (read and write access, read and write sharing) and stores
// the handle in *registered, a handle field of a slot, as one step under the
// cleanup lock: once the console control handler has released the registry no
// test creates a file any more, so none is left when the process ends.
// Returns the handle, or INVALID_HANDLE_VALUE with the last error set.
HANDLE open_registered(HANDLE *registered, const char *name, DWORD disposition);

// Closes a handle registered in a slot (close_handle_reset) under the cleanup
// lock, so that the handler never closes it a second time.
int close_registered(HANDLE *registered);

// The peer file's name of the party in a slot (261 bytes; empty when none). Kept
// beside the registry so that the console control handler can delete a peer file
// that its own party has not registered yet.
char *slot_peer_name(int slot);
// Forms a work-file name (sys_calls.make_work_file_name) and stores it in a
// registry entry under the cleanup lock, so that the console control handler
// never reads a name half written.
int name_registered(char *registered, int kind, const char *folder, int32_t number);

// Creates a test's events (count of them) and its timer; 0, or 1 after the error line.
int create_test_objects(TestObjects *objects, int events, CheckError *error);
