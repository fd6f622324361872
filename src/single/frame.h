// The frame every test of mode single runs in, and the small guards it is made of.
#pragma once

#include "base/report.h"
#include "base/scope_exit.h"
#include "single/lock_pair.h"
#include "single/single.h"

// Claims a slot of the cleanup registry for a test (handles invalid, names empty,
// the session) and adds the console control handler; slot_release releases the
// slot (single_slot_cleanup) and removes the handler.
void slot_claim(int slot, SyncSession *session);
void slot_release(int slot);

// A test's hold on its slot of the cleanup registry: claims the slot and adds the
// console control handler; on the way out releases the slot and removes the handler.
class SlotFrame {
  public:
    SlotFrame(int slot, SyncSession *session) : index_(slot) { slot_claim(slot, session); }
    ~SlotFrame() { slot_release(index_); }
    SlotFrame(const SlotFrame &) = delete;
    SlotFrame &operator=(const SlotFrame &) = delete;
    SingleSlot *slot() const { return &single_slots[index_]; }

  private:
    int index_;
};

// Closes an event, timer or thread handle on the way out (the file handles of a
// test belong to its slot).
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
// Forms a work-file name (single_calls.make_work_file_name) and stores it in a
// registry entry under the cleanup lock, so that the console control handler
// never reads a name half written.
int name_registered(char *registered, int kind, const char *folder, int32_t number);

// Frees a block that holds OVERLAPPED records and buffers once the handles its
// operations were started on are closed; when an operation on it may still be
// outstanding (its wait timed out, or it was never awaited), the block is kept
// for the rest of the process instead, since the system may still write into it.
void retire_io_block(void *block, bool outstanding);
