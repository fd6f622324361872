// The entries of the table of calls that a fault walk fails, each with the answer
// and last error of its failure, and whether a run may leave files when it fails:
// only where the fault is in the very call that removes or lets go of them.
#pragma once

#include <vector>

#include "single/call_faults.h"
#include "sync/sync.h"

namespace soak {

struct Entry {
    const char *name;
    void (*fail)(int nth, bool always);
    int (*calls)();
    bool may_leave_files;
};

template <auto Member, typename R>
Entry entry(const char *name, R failure, DWORD error, bool may_leave_files = false) {
    static R f;
    static DWORD e;
    f = failure;
    e = error;
    return Entry{name, [](int nth, bool always) { fail_call<Member>(nth, always, e, f); },
                 [] { return calls_of<Member>(); }, may_leave_files};
}

// The meetings write their own error line before they fail (sync_open when it
// cannot open the session, sync_point when a meeting fails); a silent stand-in
// would make every such run look like an NG without its reason. These fail as the
// open of the rendezvous file and a lock call of the handshake do.
template <int Meeting>
struct FailingMeeting {
    static inline std::atomic<int> calls{0};
    static inline int nth = 0;
    static inline bool always = false;

    static bool now() {
        const int n = ++calls;
        if (always ? n < nth : n != nth) return false;
        CheckError error = {Meeting == 0 ? CHECK_SHARED_NOT_OPENED : CHECK_EXCLUSIVE_NO_WAIT_FAILED,
                            ERROR_NETNAME_DELETED};
        report_error(&error);
        SetLastError(ERROR_NETNAME_DELETED);
        return true;
    }
    static SyncSession *open(int kind, const char *folder, int32_t timeout) {
        return now() ? nullptr : sync_open(kind, folder, timeout);
    }
    static int point(SyncSession *session) { return now() ? -1 : sync_point(session); }
    static void fail(int n, bool from_then_on) {
        calls = 0;
        nth = n;
        always = from_then_on;
        if (Meeting == 0) sys_calls.sync_open = open;
        else sys_calls.sync_point = point;
    }
    static int count() { return calls; }
};

inline std::vector<Entry> entries() {
    const HANDLE no_handle = NULL;
    return {
        entry<&SysCalls::open_share_file>("open_share_file", INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED),
        entry<&SysCalls::lock_range>("lock_range", -1, ERROR_LOCK_VIOLATION),
        entry<&SysCalls::unlock_range>("unlock_range", -1, ERROR_NOT_LOCKED),
        entry<&SysCalls::wait_overlapped_timed>("wait_overlapped_timed", -1, ERROR_NETNAME_DELETED),
        entry<&SysCalls::delete_work_file>("delete_work_file", -1, ERROR_ACCESS_DENIED, true),
        entry<&SysCalls::close_handle_reset>("close_handle_reset", -1, ERROR_INVALID_HANDLE, true),
        entry<&SysCalls::make_work_file_name>("make_work_file_name", -1, ERROR_INSUFFICIENT_BUFFER),
        Entry{"sync_open", FailingMeeting<0>::fail, FailingMeeting<0>::count, false},
        Entry{"sync_point", FailingMeeting<1>::fail, FailingMeeting<1>::count, false},
        entry<&SysCalls::create_file>("create_file", INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED),
        entry<&SysCalls::lock_file_ex>("lock_file_ex", FALSE, ERROR_LOCK_VIOLATION),
        entry<&SysCalls::unlock_file_ex>("unlock_file_ex", FALSE, ERROR_NOT_LOCKED),
        entry<&SysCalls::write_file>("write_file", FALSE, ERROR_DISK_FULL),
        entry<&SysCalls::read_file>("read_file", FALSE, ERROR_READ_FAULT),
        entry<&SysCalls::flush_file_buffers>("flush_file_buffers", FALSE, ERROR_DISK_FULL),
        entry<&SysCalls::get_overlapped_result>("get_overlapped_result", FALSE, ERROR_NETNAME_DELETED),
        entry<&SysCalls::cancel_io_ex>("cancel_io_ex", FALSE, ERROR_NOT_FOUND),
        entry<&SysCalls::close_handle>("close_handle", FALSE, ERROR_INVALID_HANDLE, true),
        entry<&SysCalls::delete_file>("delete_file", FALSE, ERROR_ACCESS_DENIED, true),
        entry<&SysCalls::get_file_attributes>("get_file_attributes", INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED),
        entry<&SysCalls::get_computer_name_ex>("get_computer_name_ex", FALSE, ERROR_MORE_DATA),
        entry<&SysCalls::create_event>("create_event", no_handle, ERROR_NOT_ENOUGH_MEMORY),
        entry<&SysCalls::set_event>("set_event", FALSE, ERROR_INVALID_HANDLE),
        entry<&SysCalls::create_waitable_timer>("create_waitable_timer", no_handle, ERROR_NOT_ENOUGH_MEMORY),
        entry<&SysCalls::set_waitable_timer>("set_waitable_timer", FALSE, ERROR_INVALID_HANDLE),
        entry<&SysCalls::create_thread>("create_thread", no_handle, ERROR_NOT_ENOUGH_MEMORY),
        entry<&SysCalls::get_exit_code_thread>("get_exit_code_thread", FALSE, ERROR_INVALID_HANDLE),
        entry<&SysCalls::wait_for_single_object>("wait_for_single_object", (DWORD)WAIT_FAILED,
                                                 ERROR_INVALID_HANDLE),
    };
}

}  // namespace soak
