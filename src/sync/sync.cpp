// Sync sessions: the rendezvous files, opening, closing and releasing a session,
// the liveness probe, and the console control handler that guards an opening.
//
// Stopping a thread inside sync_open. The handler never freezes a thread: a
// thread frozen at an arbitrary point may hold a lock (the output stream's, the
// heap's) that later handlers need. Instead every opening thread publishes where
// it stands in an atomic state word that it registers in the sync registry:
// busy (acting on its session) or idle (sleeping in a poll step, installing the
// handler or waiting for the cleanup lock). The handler stops an idle thread at
// once and releases its session; a busy one it asks to stop and waits, bounded,
// until the thread reaches its next stop point (a poll step or a report line, via
// report_line_hook), where the thread hands the session over and parks for good.
// A thread that does not get there in time (stuck in a slow system call) is left
// to release its own session when it does. Either way the session is released
// exactly once, and only while its thread no longer touches it.
#include "sync/sync_internal.h"

#include "base/cleanup_lock.h"
#include "fsprim/calls.h"

#include <atomic>
#include <initializer_list>

namespace {

enum OpenState : int {
    OPEN_BUSY,        // acting on its session
    OPEN_IDLE,        // not touching its session
    OPEN_STOP_ASKED,  // asked to stop while busy; hands over at its next stop point
    OPEN_STOPPED,     // the handler owns (and releases) the session
    OPEN_ABANDONED,   // the handler stopped waiting; the thread releases the session itself
};

// One opening thread's side of the registry; lives in sync_open's frame, which
// a stopped thread never leaves.
struct OpenGuard {
    std::atomic<int> state{OPEN_BUSY};
    SyncSession *session = nullptr;
};

struct SyncSlot {
    DWORD thread_id;  // 0 = none; set only while that thread is inside sync_open
    SyncSession *session;
    OpenGuard *guard;
};

// Guarded by the cleanup lock.
SyncSlot sync_registry[2];

thread_local OpenGuard *t_open_guard;

enum {
    NAME_BOUND = 256,  // rendezvous names: at most 255 characters
    COMPUTER_NAME_SIZE = 256,
    // How long the handler waits for a busy opening thread to reach a stop point.
    HANDLER_WAIT_MS = 2000,
    HANDLER_POLL_MS = 10,
    // How long a close waits for the other party's last handle of the master file.
    DELETE_RETRIES = 40,
    DELETE_RETRY_MS = 50,
};

[[noreturn]] void park(void) {
    for (;;) Sleep(1000);
}

// A stop point of the thread itself, reached while it does not touch its session.
void stop_point(OpenGuard *guard) {
    int state = guard->state.load();
    if (state == OPEN_BUSY || state == OPEN_IDLE) return;
    if (state == OPEN_STOP_ASKED) {
        if (guard->state.compare_exchange_strong(state, OPEN_STOPPED)) park();
        // state now holds what the handler set meanwhile
    }
    if (state == OPEN_ABANDONED) sync_release(guard->session, SESSION_DELETE_FILES);
    park();
}

void go_idle(OpenGuard *guard) {
    if (guard == nullptr) return;
    int expected = OPEN_BUSY;
    if (!guard->state.compare_exchange_strong(expected, OPEN_IDLE)) stop_point(guard);
}

void go_busy(OpenGuard *guard) {
    if (guard == nullptr) return;
    int expected = OPEN_IDLE;
    if (!guard->state.compare_exchange_strong(expected, OPEN_BUSY)) park();  // the handler took the session
}

}  // namespace

void sync_report_hook(void) {
    if (t_open_guard != nullptr) stop_point(t_open_guard);
}

void sync_install(void) {
    report_line_hook = sync_report_hook;
    sys_calls_install_sync(sync_open, sync_point);
}

namespace {

// Handler side. Asks an opening thread to stop: true when it was idle and its
// session is now the handler's; false when it is busy (asked) or already stopped.
bool ask_to_stop(OpenGuard *guard, bool *asked) {
    *asked = false;
    for (;;) {
        int state = guard->state.load();
        if (state == OPEN_IDLE) {
            if (guard->state.compare_exchange_strong(state, OPEN_STOPPED)) return true;
        } else if (state == OPEN_BUSY) {
            if (guard->state.compare_exchange_strong(state, OPEN_STOP_ASKED)) {
                *asked = true;
                return false;
            }
        } else {
            return false;  // stopped by an earlier run of the handler
        }
    }
}

// After the wait for an asked thread: true when it has handed its session over;
// false when it is abandoned to release the session itself.
bool settle_stop(OpenGuard *guard) {
    int expected = OPEN_STOP_ASKED;
    return !guard->state.compare_exchange_strong(expected, OPEN_ABANDONED);
}

void free_session(SyncSession *session) { VirtualFree(session, 0, MEM_RELEASE); }

// Refusals of a delete that mean the file is still open elsewhere: a handle that
// does not share delete, a delete of the other party's still pending, or a file
// server that is busy with it (Wine reports a server's EBUSY as a lock conflict).
bool still_open_elsewhere(DWORD err) {
    return err == ERROR_SHARING_VIOLATION || err == ERROR_DELETE_PENDING || err == ERROR_LOCK_VIOLATION;
}

// A party that closes first gives up its bytes, the gate last, and closes its
// handle only then: a close that gets the gate in between finds that party gone
// while its handle still denies the delete. That handle goes at once (on a file
// server, a moment after the close), so the delete is tried again for a moment
// instead of leaving the file behind.
void delete_when_closed(const char *path) {
    for (int tries = 0; !sys_calls.delete_file(path); ++tries) {
        if (!still_open_elsewhere(GetLastError()) || tries == DELETE_RETRIES) break;
        Sleep(DELETE_RETRY_MS);
    }
}

// Deletes the rendezvous files once this party's handle is closed; the end-wait
// file was closed by the other party a moment ago.
void delete_after_last_close(SyncSession *session) {
    delete_when_closed(session->master_path);
    delete_when_closed(session->endwait_path);
}

// Names longer than the bound are cut to 255 characters, alike in both parties.
void format_name(char *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void format_name(char *out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(out, NAME_BOUND, format, args);
    va_end(args);
}

// The session's names; -1 with the last error when the computer name cannot be read.
int build_names(SyncSession *session, int kind, const char *folder) {
    if (kind == MODE_SINGLE) {
        char computer[COMPUTER_NAME_SIZE];
        memset(computer, 0, sizeof computer);
        DWORD size = COMPUTER_NAME_SIZE;
        if (!sys_calls.get_computer_name_ex(ComputerNamePhysicalDnsFullyQualified, computer, &size)) return -1;
        const int pid = (int)GetCurrentProcessId();
        format_name(session->master_path, "%s\\.#KAVLOCK.%s.%d.master", folder, computer, pid);
        format_name(session->endwait_path, "%s\\%s.%d.endwaitfile", folder, computer, pid);
    } else {
        format_name(session->master_path, "%s\\.#KAVLOCK.master", folder);
        format_name(session->endwait_path, "%s\\endwaitfile", folder);
    }
    return 0;
}

// Opens (creating when missing) a rendezvous file for synchronous use, all access for everyone.
HANDLE open_rendezvous_file(const char *path) {
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa;
    null_dacl_attributes(&sd, &sa);
    return sys_calls.create_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

}  // namespace

// The rendezvous handle of a session: a console control handler may release the
// session (and reset the handle) while its party still uses it, so the handle is
// read and reset atomically; a party that comes after the release fails on the
// invalid handle and ends its test.
static HANDLE session_file(const SyncSession *session) {
    return __atomic_load_n(&session->file, __ATOMIC_ACQUIRE);
}

BOOL sync_lock_byte(SyncSession *session, DWORD offset, int exclusive) {
    OVERLAPPED ov = {};
    ov.Offset = offset;
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0u);
    return sys_calls.lock_file_ex(session_file(session), flags, 0, 1, 0, &ov);
}

BOOL sync_unlock_byte(SyncSession *session, DWORD offset) {
    OVERLAPPED ov = {};
    ov.Offset = offset;
    return sys_calls.unlock_file_ex(session_file(session), 0, 1, 0, &ov);
}

void sync_poll_sleep(void) {
    OpenGuard *guard = t_open_guard;
    go_idle(guard);
    Sleep(SYNC_POLL_MS);
    go_busy(guard);
}

int sync_wait_step(SyncSession *session, time_t start, CheckError *error) {
    if (sync_timed_out(session, start)) {
        set_check_error(error, CHECK_TIMEOUT, 0);
        return -1;
    }
    sync_poll_sleep();
    return 0;
}

int sync_refused_step(SyncSession *session, time_t start, CheckError *error) {
    const DWORD err = GetLastError();
    if (err == ERROR_LOCK_VIOLATION) return sync_wait_step(session, start, error);
    set_check_error(error, CHECK_EXCLUSIVE_NO_WAIT_FAILED, err);
    return -1;
}

int sync_unlock_checked(SyncSession *session, DWORD offset, CheckError *error) {
    if (sync_unlock_byte(session, offset)) return 0;
    set_check_error(error, CHECK_UNLOCK_FAILED, GetLastError());
    return -1;
}

SyncSession *sync_open(int kind, const char *folder, int32_t timeout_sec) {
    report_info("同期初期処理を開始します。");

    OpenGuard guard;
    SyncSlot *slot = nullptr;
    EnterCriticalSection(&g_cleanup_lock);
    for (SyncSlot &candidate : sync_registry) {
        if (candidate.thread_id == 0 && candidate.session == nullptr) {
            slot = &candidate;
            break;
        }
    }
    SyncSession *session =
        static_cast<SyncSession *>(VirtualAlloc(NULL, sizeof(SyncSession), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    const DWORD alloc_error = GetLastError();
    if (session != nullptr) {
        memset(session, 0, sizeof *session);
        session->file = INVALID_HANDLE_VALUE;
        session->timeout_sec = timeout_sec;
    }
    guard.session = session;
    // Both slots taken can only mean a third concurrent opener: it runs
    // unguarded rather than take a slot that guards another thread.
    if (slot != nullptr && session != nullptr) {
        slot->thread_id = GetCurrentThreadId();
        slot->session = session;
        slot->guard = &guard;
    } else {
        slot = nullptr;
    }
    LeaveCriticalSection(&g_cleanup_lock);

    CheckError error;
    if (session == nullptr) {
        report_check_error(&error, CHECK_NO_MEMORY, alloc_error);
        return nullptr;
    }
    OpenGuard *const watched = slot != nullptr ? &guard : nullptr;
    t_open_guard = watched;

    // A running handler holds the console's handler list; never make it wait for us here.
    go_idle(watched);
    SetConsoleCtrlHandler(sync_ctrl_handler, TRUE);
    go_busy(watched);

    int ok = 0;
    report_info("同期ファイルのファイル名を生成します。");
    if (build_names(session, kind, folder) != 0) {
        report_check_error(&error, CHECK_NO_HOST_NAME);
    } else {
        report_info("同期ファイルをオープンします。");
        session->file = open_rendezvous_file(session->master_path);
        if (session->file == INVALID_HANDLE_VALUE) {
            report_check_error(&error, CHECK_SHARED_NOT_OPENED);
        } else {
            session->info_offset = SYNC_BYTE_LIVE_ROLE0;
            ok = sync_handshake(session) == 0;
        }
    }

    // Wait for the cleanup lock idle: the handler may hold it while it stops us.
    go_idle(watched);
    EnterCriticalSection(&g_cleanup_lock);
    if (watched != nullptr && watched->state.load() != OPEN_IDLE) {
        // The handler has stopped this thread and released its session meanwhile.
        LeaveCriticalSection(&g_cleanup_lock);
        park();
    }
    if (!ok) {
        sync_release(session, SESSION_DELETE_FILES);
        free_session(session);
        session = nullptr;
    }
    if (slot != nullptr) {
        slot->thread_id = 0;
        slot->session = nullptr;
        slot->guard = nullptr;
    }
    t_open_guard = nullptr;
    LeaveCriticalSection(&g_cleanup_lock);
    SetConsoleCtrlHandler(sync_ctrl_handler, FALSE);
    if (session != nullptr) report_info("同期初期処理が成功しました。");
    return session;
}

void sync_release(SyncSession *session, int delete_files) {
    if (session == nullptr || session->released) return;
    if (session_file(session) != INVALID_HANDLE_VALUE) {
        // Failures are ignored: a byte not held (info byte equal to the liveness
        // byte, for instance) fails harmlessly, and closing drops every lock anyway.
        for (uint32_t *offset : {&session->info_offset, &session->own_live_offset}) {
            if (*offset != 0) sync_unlock_byte(session, *offset);
            *offset = 0;
        }
        if (session->gate_held) {
            session->gate_held = 0;
            sync_unlock_byte(session, SYNC_BYTE_GATE);
        }
        HANDLE file = session_file(session);
        __atomic_store_n(&session->file, INVALID_HANDLE_VALUE, __ATOMIC_RELEASE);
        sys_calls.close_handle(file);
        if (delete_files) {
            sys_calls.delete_file(session->master_path);
            sys_calls.delete_file(session->endwait_path);
        }
    }
    session->released = 1;
}

void sync_note_stale_endwait(SyncSession *session) {
    session->endwait_stale = sys_calls.get_file_attributes(session->endwait_path) != INVALID_FILE_ATTRIBUTES;
}

int probe_peer_alive(SyncSession *session, CheckError *error) {
    if (!sync_lock_byte(session, session->peer_live_offset, 1)) {
        const DWORD os_error = GetLastError();
        if (os_error == ERROR_LOCK_VIOLATION) return 1;
        set_check_error(error, CHECK_EXCLUSIVE_NO_WAIT_FAILED, os_error);
        return 0;
    }
    set_check_error(error, CHECK_PEER_GONE, 0);
    sync_unlock_byte(session, session->peer_live_offset);
    return 0;
}

int sync_close(SyncSession *session) {
    const time_t start = sync_now();
    report_info("同期終了処理を開始します。");
    CheckError e = {0, 0};

    if (session_file(session) != INVALID_HANDLE_VALUE) {
        report_info("相手が終了処理を受け付けられるか確認します。");
        bool agreed = false;
        while (!agreed && e.code == CHECK_NONE) {
            // The gate orders two closes; the in-progress byte, taken exclusively,
            // tells that no handshake of the other party is under way.
            if (!sync_lock_byte(session, SYNC_BYTE_GATE, 1)) {
                sync_refused_step(session, start, &e);
                continue;
            }
            session->gate_held = 1;
            if (sync_lock_byte(session, SYNC_BYTE_IN_PROGRESS, 1)) {
                agreed = true;
                continue;
            }
            const DWORD err = GetLastError();
            if (err != ERROR_LOCK_VIOLATION) {
                set_check_error(&e, CHECK_EXCLUSIVE_NO_WAIT_FAILED, err);
                continue;
            }
            session->gate_held = 0;
            if (sync_unlock_checked(session, SYNC_BYTE_GATE, &e) == 0) sync_wait_step(session, start, &e);
        }
        if (agreed && sync_unlock_checked(session, SYNC_BYTE_IN_PROGRESS, &e) == 0) {
            report_info("相手の生存状態を確認します。");
            CheckError probe = {0, 0};
            // A file server may answer for the liveness byte of a party that has just
            // closed as if still held; its end-wait file tells that it closed first.
            // Only a file of this session does: one that stood at the opening was left
            // by an interrupted run, and the session then closes without the rule.
            const int alive = session->own_live_offset != 0 && probe_peer_alive(session, &probe) == 1 &&
                              (session->endwait_stale ||
                               sys_calls.get_file_attributes(session->endwait_path) == INVALID_FILE_ATTRIBUTES);
            if (alive) {
                // First to close: leave the end-wait file for the other party,
                // which deletes it once it has closed too.
                report_info("終了同期ファイルを作成します。");
                HANDLE endwait = open_rendezvous_file(session->endwait_path);
                if (endwait != INVALID_HANDLE_VALUE) sys_calls.close_handle(endwait);
                report_info("リソースの開放処理を実施します。");
                sync_release(session, SESSION_KEEP_FILES);
                report_info("相手の処理が終了するまで待機します。");
                while (sys_calls.get_file_attributes(session->endwait_path) != INVALID_FILE_ATTRIBUTES) {
                    if (sync_timed_out(session, start)) {
                        report_check_error(&e, CHECK_TIMEOUT, 0);
                        return -1;
                    }
                    Sleep(SYNC_POLL_MS);
                }
                free_session(session);
                report_info("同期終了処理が成功しました。");
                return 0;
            }
        }
    }

    report_info("リソースの開放処理を実施します。");
    const bool held = !session->released && session_file(session) != INVALID_HANDLE_VALUE;
    sync_release(session, SESSION_KEEP_FILES);
    if (held) delete_after_last_close(session);
    if (e.code == CHECK_NONE) {
        free_session(session);
        report_info("同期終了処理が成功しました。");
        return 0;
    }
    report_error(&e);
    return -1;
}

BOOL WINAPI sync_ctrl_handler(DWORD ctrl_type) {
    (void)ctrl_type;  // every event ends the openings alike
    if (!enter_cleanup_lock_in_handler()) return FALSE;
    const DWORD self = GetCurrentThreadId();
    bool mine[2] = {false, false};
    bool asked[2] = {false, false};
    int n = 0;
    for (SyncSlot &slot : sync_registry) {
        if (slot.thread_id != 0 && slot.thread_id != self) mine[n] = ask_to_stop(slot.guard, &asked[n]);
        ++n;
    }
    // Busy threads get one common, bounded wait to reach a stop point.
    for (int waited = 0; waited < HANDLER_WAIT_MS; waited += HANDLER_POLL_MS) {
        bool pending = false;
        for (int i = 0; i < 2; ++i) {
            if (asked[i] && sync_registry[i].guard->state.load() == OPEN_STOPPED) {
                asked[i] = false;
                mine[i] = true;
            }
            pending = pending || asked[i];
        }
        if (!pending) break;
        Sleep(HANDLER_POLL_MS);
    }
    n = 0;
    for (SyncSlot &slot : sync_registry) {
        if (slot.thread_id != 0 && slot.thread_id != self) {
            if (asked[n]) mine[n] = settle_stop(slot.guard);
            if (mine[n]) sync_release(slot.session, SESSION_DELETE_FILES);
            slot.thread_id = 0;
            slot.session = nullptr;
            slot.guard = nullptr;
        }
        ++n;
    }
    leave_cleanup_lock_in_handler();
    return FALSE;
}
