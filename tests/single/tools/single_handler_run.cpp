// Runs single_ctrl_handler the way the system does, on a thread of its own,
// while a test holds slot 0 with its work file open and the peer file named, and
// checks what the handler leaves: usage: single_handler_run FOLDER. Prints one
// line per failed expectation; exit status 0 when all held.
#include "base/cleanup_lock.h"
#include "fsprim/fsprim.h"
#include "single/frame.h"
#include "sync/sync.h"

static int failures = 0;

static void expect(bool ok, const char *what) {
    if (!ok) {
        printf("failed: %s\n", what);
        ++failures;
    }
}

static DWORD WINAPI control_thread(LPVOID) { return (DWORD)single_ctrl_handler(CTRL_C_EVENT); }

static void run_handler() {
    HANDLE t = CreateThread(NULL, 0, control_thread, NULL, 0, NULL);
    expect(t != NULL, "control thread started");
    if (t == NULL) return;
    expect(WaitForSingleObject(t, 30000) == WAIT_OBJECT_0, "handler returned");
    DWORD code = 1;
    GetExitCodeThread(t, &code);
    expect(code == FALSE, "handler returns FALSE");
    CloseHandle(t);
}

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    sync_install();  // as the entry does
    if (create_cleanup_lock() != 0 || open_report_log("") != 0) return 2;
    const char *folder = argv[1];
    {
        SlotFrame frame(0, nullptr);
        SingleSlot *slot = frame.slot();
        make_work_file_name(1, folder, 0, slot->file_name);
        expect(open_registered(&slot->handle, slot->file_name, OPEN_ALWAYS) != INVALID_HANDLE_VALUE, "own file open");
        // A peer file that the other party opened but has not registered yet.
        make_work_file_name(1, folder, 1, slot_peer_name(0));
        HANDLE peer = CreateFileA(slot_peer_name(0), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        expect(peer != INVALID_HANDLE_VALUE, "peer file created");
        if (peer != INVALID_HANDLE_VALUE) CloseHandle(peer);

        char own[261];
        char peer_name[261];
        memcpy(own, slot->file_name, sizeof own);
        memcpy(peer_name, slot_peer_name(0), sizeof peer_name);
        run_handler();
        expect(slot->handle == INVALID_HANDLE_VALUE, "own handle closed");
        expect(slot->file_name[0] == '\0' && slot_peer_name(0)[0] == '\0', "names cleared");
        expect(GetFileAttributesA(own) == INVALID_FILE_ATTRIBUTES, "own file deleted");
        expect(GetFileAttributesA(peer_name) == INVALID_FILE_ATTRIBUTES, "peer file deleted");
        expect(handler_slot == 1, "handler_slot counts the run");

        // The process is ending: a test that goes on creates no file any more.
        HANDLE again = open_registered(&slot->handle, own, OPEN_ALWAYS);
        expect(again == INVALID_HANDLE_VALUE && GetLastError() == ERROR_OPERATION_ABORTED, "later open refused");
        expect(GetFileAttributesA(own) == INVALID_FILE_ATTRIBUTES, "no file created after the handler");
    }
    // Two installations, two runs per event; a third run does nothing.
    run_handler();
    run_handler();
    expect(handler_slot == 2, "handler_slot stops at 2");
    return failures == 0 ? 0 : 1;
}
