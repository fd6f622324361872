// The frame every test of mode single runs in, and the small guards it is made of.
#pragma once

#include "front/report.h"
#include "front/scope_exit.h"
#include "single/single.h"

// A test's hold on its slot of the cleanup registry: claims the slot and adds the
// console control handler; on the way out releases the slot and removes the handler.
class SlotFrame {
  public:
    SlotFrame(int slot, SyncSession *session);
    ~SlotFrame();
    SlotFrame(const SlotFrame &) = delete;
    SlotFrame &operator=(const SlotFrame &) = delete;
    SingleSlot *slot() const { return &single_slots[index_]; }

  private:
    int index_;
};

// A begin line now and the matching end line on the way out, with the result as
// it stands then.
class ReportScope {
  public:
    ReportScope(const char *title, const TestResult *result) : title_(title), result_(result) {
        report_begin(title_);
    }
    ~ReportScope() { report_end(title_, *result_); }
    ReportScope(const ReportScope &) = delete;
    ReportScope &operator=(const ReportScope &) = delete;

  private:
    const char *title_;
    const TestResult *result_;
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

// A detail line formed from a format with one %s and a name.
void report_named(const char *format, const char *name);

// The folder of a selector, or null for any other selector.
const char *selected_folder(const CheckContext *ctx, int selector);
