// Mode single under injected faults: every call a run makes failed in turn, named
// failures of the file operations once and for good, lock layers that grant all or
// never, a log file that becomes unwritable. Each run must end, leave no file of its
// own, and report what failed in a properly nested report.
//
// KAV_SOAK_FULL=1 steps every call; otherwise a fixed sample of the calls keeps the
// suite fast. The totals are printed at the end for scripts/soak.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fault_entries.h"
#include "fault_walk.h"
#include "base/cleanup_lock.h"
#include "base/report.h"
#include "single/frame.h"
#include "single/single.h"
#include "support/testsupport.h"

namespace {

using soak::RunOutcome;

bool full_walk() {
    const char *v = getenv("KAV_SOAK_FULL");
    return v != nullptr && v[0] == '1';
}

// The run in short: its result, broken rules, files left and error lines (code page 932).
std::string describe(const RunOutcome &out) {
    std::string s = "result " + std::to_string(out.result) + "\n";
    for (const std::string &p : out.problems) s += "  problem: " + p + "\n";
    for (const std::string &f : out.left) s += "  left: " + f + "\n";
    for (const std::string &l : soak::error_lines(out.report)) s += "  ! " + l + "\n";
    if (getenv("KAV_SOAK_ONLY") != nullptr) s += "--- report ---\n" + out.report;
    return s;
}

// Files may stay only where the fault is in the very call that removes or lets go of them.
void judge(const RunOutcome &out, bool may_leave_files, const std::string &what) {
    bool passed = out.problems.empty() && (may_leave_files || out.left.empty());
    soak::count(out, passed);
    EXPECT_TRUE(passed) << what << ": " << describe(out);
}

bool has_error(const RunOutcome &out, const char *message, DWORD os_error) {
    const std::string want = std::string(message) + " ERRORCODE=" + std::to_string(os_error) + "(";
    for (const std::string &l : soak::error_lines(out.report))
        if (l.compare(0, want.size(), want) == 0) return true;
    return false;
}

std::string message(int code) {
    const char *m = check_error_message(code);
    return m ? m : "";
}

using soak::Entry;
using soak::entries;

// The calls stepped in the fast sample: the first, then every twenty-ninth.
bool sampled(int nth) { return full_walk() || nth == 1 || nth % 29 == 0; }

// The errors tried for a named failure: all of them, or the first in the fast sample.
std::vector<DWORD> errors(std::vector<DWORD> all) {
    if (!full_walk()) all.resize(1);
    return all;
}

// KAV_SOAK_ONLY=entry:N replays one step of the walk (with its whole report on
// failure). N for that entry, -1 for the other entries, 0 when no step is replayed.
int replay_step(const char *name) {
    const char *only = getenv("KAV_SOAK_ONLY");
    if (only == nullptr || only[0] == '\0') return 0;
    const std::string head = std::string(name) + ":";
    if (strncmp(only, head.c_str(), head.size()) != 0) return -1;
    return atoi(only + head.size());
}

TEST(FaultWalk, EveryCallOfTheRunFailingOnce) {
    for (const Entry &e : entries()) {
        const int only = replay_step(e.name);
        if (only < 0) continue;
        // Calls of the entry in the last run, plus one: a run that fails call N may make fewer.
        int reached = only > 0 ? only : 1;
        for (int nth = only > 0 ? only : 1; nth <= reached; ++nth) {
            if (only == 0 && !sampled(nth)) continue;
            RunOutcome out = soak::run_single_check([&](CheckContext *) { e.fail(nth, false); });
            reached = e.calls();
            if (reached < nth) break;
            judge(out, e.may_leave_files, std::string(e.name) + " call " + std::to_string(nth));
            if (only > 0) break;
            reached += 1;
            ASSERT_LT(nth, 2000) << e.name << ": a run makes more calls than any run of the check can";
        }
    }
}

// One party of the paired lock test ends early while the other holds its peer
// file open (found by the walk: a party that failed to name its own file dropped
// the other's peer name, and the file stayed): the early clean-up cannot delete
// the file, and the other party's clean-up, after its close, must still find it.
TEST(FaultWalk, ACleanUpKeepsThePeerNameOfTheOtherParty) {
    kavtest::TempDir folder;
    const std::string name = folder.file(".#KAVLOCK.soak.0");
    // Held open without delete sharing, as a party holds its peer file.
    HANDLE held = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    for (int slot : {0, 1}) {
        single_slots[slot].handle = INVALID_HANDLE_VALUE;
        single_slots[slot].handle2 = INVALID_HANDLE_VALUE;
        memset(single_slots[slot].file_name, 0, sizeof single_slots[slot].file_name);
        single_slots[slot].session = nullptr;
        memset(slot_peer_name(slot), 0, sizeof single_slots[slot].file_name);
    }
    snprintf(slot_peer_name(1), sizeof single_slots[1].file_name, "%s", name.c_str());
    ASSERT_EQ(create_cleanup_lock(), 0);
    single_slot_cleanup(0);
    EXPECT_TRUE(kavtest::file_exists(name)) << "deleted while another handle holds it without delete sharing";
    EXPECT_EQ(std::string(slot_peer_name(1)), name);
    CloseHandle(held);
    single_slot_cleanup(1);
    EXPECT_FALSE(kavtest::file_exists(name));
    EXPECT_EQ(std::string(slot_peer_name(1)), "");
    delete_cleanup_lock();
}

// ---- named failures of the file operations --------------------------------------

// CREATE_NEW and OPEN_ALWAYS (the opens that create) or the others (that open only).
struct OpenFault {
    static inline bool creating = false;
    static inline bool always = false;
    static inline DWORD error = 0;
    static inline int failed = 0;
    static HANDLE call(const char *name, DWORD access, DWORD share, DWORD disposition) {
        bool creates = disposition == CREATE_NEW || disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
        if (creates == creating && (always || failed == 0)) {
            failed += 1;
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        return open_share_file(name, access, share, disposition);
    }
    static void arm(bool c, bool a, DWORD e) {
        creating = c;
        always = a;
        error = e;
        failed = 0;
        sys_calls.open_share_file = call;
    }
};

// A timed lock or unlock of a work file that fails as the folder answers it: the
// call writes its own error line, as the real one does.
struct TimedFault {
    static inline DWORD error = 0;
    static inline bool always = false;
    static inline int failed = 0;
    static bool now() { return always || failed++ == 0; }
    static int lock(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, int exclusive, int wait,
                    CheckError *e, int report_refusal) {
        if (!wait || !now()) return lock_range_timed(ctx, file, event, timer, exclusive, wait, e, report_refusal);
        e->code = exclusive ? 13 : 14;
        e->os_error = error;
        report_error(e);
        SetLastError(error);
        return -1;
    }
    static int unlock(const CheckContext *ctx, HANDLE file, HANDLE event, HANDLE timer, CheckError *e) {
        if (!now()) return unlock_range_timed(ctx, file, event, timer, e);
        e->code = 10;
        e->os_error = error;
        report_error(e);
        SetLastError(error);
        return -1;
    }
};

// A waiting lock request refused on the main thread only.
struct MainLockFault {
    static inline DWORD main = 0;
    static inline DWORD error = 0;
    static inline bool always = false;
    static inline std::atomic<int> failed{0};
    static int call(HANDLE file, int exclusive, OVERLAPPED *ov) {
        if (GetCurrentThreadId() == main && (always || failed++ == 0)) {
            SetLastError(error);
            return -1;
        }
        return lock_range(file, exclusive, ov);
    }
};

const char MSG_OPEN_SHARED[] = "KAVRO間共有環境設定パスのファイルを開くことができませんでした。";
const char MSG_OPEN_TARGET[] = "確認対象パスのファイルを開くことができませんでした。";
const char MSG_OPEN_ERROR[] = "確認対象パスのファイルを開く時にエラーが発生しました。";

std::string end_line_of(const std::string &title, bool ok) {
    return "テスト " + title + "が終了しました。 ... [ " + (ok ? "OK" : "NG") + " ]";
}

bool has_line(const RunOutcome &out, const std::string &body) {
    size_t at = 0;
    while ((at = out.report.find(body, at)) != std::string::npos) {
        size_t end = at + body.size();
        if ((at == 0 || out.report[at - 1] == ' ' || out.report[at - 1] == '\n') &&
            out.report.compare(end, 2, "\r\n") == 0)
            return true;
        at = end;
    }
    return false;
}

const std::string WRITE_STEP = "処理「ファイルの書き込み」";
const std::string READ_STEP = "処理「ファイルの読み込み」";
const std::string DELETE_STEP = "処理「自プロセスが作成済のファイルを削除」";
const std::string CASE_A = "処理「既存ファイルがない状態での既存ファイルのオープン」";
const std::string CASE_B = "処理「既存ファイルがない状態での新規ファイルのオープン」";
const std::string CASE_D = "処理「既存ファイルがある状態での既存ファイルのオープン」";
const std::string LOCK_CASE_5 = "処理「共有ロック領域へ排他ロックを待機する設定で取得」";

TEST(FaultWalk, NamedFailuresOnceAndForGood) {
    for (bool always : {false, true}) {
        const std::string how = always ? " for good" : " once";
        // Opens of an existing file: case A's expected failure turns into an error (9).
        for (DWORD err : errors({ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_NETNAME_DELETED})) {
            RunOutcome out = soak::run_single_check([&](CheckContext *) { OpenFault::arm(false, always, err); });
            judge(out, false, "open failing with " + std::to_string(err) + how);
            EXPECT_EQ(out.result, 1);
            EXPECT_TRUE(has_error(out, MSG_OPEN_ERROR, err));
            EXPECT_TRUE(has_line(out, end_line_of(CASE_A, false)));
            if (always) {
                EXPECT_TRUE(has_error(out, MSG_OPEN_TARGET, err)) << "case D";
                EXPECT_TRUE(has_line(out, end_line_of(CASE_D, false)));
            }
        }
        // Creates: the first is case B on the shared-settings path (4); for good, every test's file.
        for (DWORD err : errors({ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_FILE_EXISTS})) {
            RunOutcome out = soak::run_single_check([&](CheckContext *) { OpenFault::arm(true, always, err); });
            judge(out, false, "create failing with " + std::to_string(err) + how);
            EXPECT_EQ(out.result, 1);
            EXPECT_TRUE(has_error(out, MSG_OPEN_SHARED, err));
            EXPECT_TRUE(has_line(out, end_line_of(CASE_B, false)));
            if (always) {
                EXPECT_TRUE(has_error(out, MSG_OPEN_TARGET, err)) << "target path";
            }
        }
        struct Io {
            const char *what;
            void (*arm)(bool always, DWORD err);
            std::vector<DWORD> errors;
            const std::string *step;
            int code;
        };
        const Io ios[] = {
            {"write",
             [](bool a, DWORD e) { fail_call<&SysCalls::write_file>(1, a, e, FALSE); },
             {ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_NETNAME_DELETED},
             &WRITE_STEP,
             11},
            {"flush",
             [](bool a, DWORD e) { fail_call<&SysCalls::flush_file_buffers>(1, a, e, FALSE); },
             {ERROR_DISK_FULL, ERROR_NETNAME_DELETED},
             &WRITE_STEP,
             11},
            {"read",
             [](bool a, DWORD e) { fail_call<&SysCalls::read_file>(1, a, e, FALSE); },
             {ERROR_READ_FAULT, ERROR_NETNAME_DELETED, ERROR_LOCK_VIOLATION},
             &READ_STEP,
             12},
            {"delete",
             [](bool a, DWORD e) { fail_call<&SysCalls::delete_work_file>(1, a, e, -1); },
             {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION},
             &DELETE_STEP,
             23},
        };
        for (const Io &io : ios) {
            for (DWORD err : errors(io.errors)) {
                RunOutcome out = soak::run_single_check([&](CheckContext *) { io.arm(always, err); });
                // A delete that fails for good leaves the delete test's file behind.
                judge(out, always && io.step == &DELETE_STEP, std::string(io.what) + " failing with " +
                                                                   std::to_string(err) + how);
                EXPECT_EQ(out.result, 1);
                EXPECT_TRUE(has_line(out, end_line_of(*io.step, false))) << io.what;
                EXPECT_TRUE(has_error(out, message(io.code).c_str(), err)) << io.what << " " << err;
            }
        }
        // Locks and unlocks of the work files.
        for (DWORD err : errors({ERROR_LOCK_VIOLATION, ERROR_NOT_SUPPORTED, ERROR_NETNAME_DELETED})) {
            RunOutcome out = soak::run_single_check([&](CheckContext *) {
                TimedFault::error = err;
                TimedFault::always = always;
                TimedFault::failed = 0;
                sys_calls.lock_range_timed = TimedFault::lock;
            });
            judge(out, false, "waiting lock failing with " + std::to_string(err) + how);
            EXPECT_EQ(out.result, 1);
            EXPECT_TRUE(has_error(out, message(14).c_str(), err) || has_error(out, message(13).c_str(), err));
        }
        for (DWORD err : errors({ERROR_NOT_LOCKED, ERROR_NETNAME_DELETED})) {
            RunOutcome out = soak::run_single_check([&](CheckContext *) {
                TimedFault::error = err;
                TimedFault::always = always;
                TimedFault::failed = 0;
                sys_calls.unlock_range_timed = TimedFault::unlock;
            });
            judge(out, false, "unlock failing with " + std::to_string(err) + how);
            EXPECT_EQ(out.result, 1);
            EXPECT_TRUE(has_error(out, message(10).c_str(), err));
        }
        // A waiting request of the main thread's party refused at its start (cases 5,
        // 7, 8); the report shows that party only (a refusal on the partner thread
        // ends the partner early, and the main thread's next meeting aborts the test).
        for (DWORD err : errors({ERROR_LOCK_VIOLATION, ERROR_NOT_SUPPORTED})) {
            RunOutcome out = soak::run_single_check([&](CheckContext *) {
                MainLockFault::main = GetCurrentThreadId();
                MainLockFault::error = err;
                MainLockFault::always = always;
                MainLockFault::failed = 0;
                sys_calls.lock_range = MainLockFault::call;
            });
            judge(out, false, "lock request failing with " + std::to_string(err) + how);
            EXPECT_EQ(out.result, 1);
            EXPECT_TRUE(has_line(out, end_line_of(LOCK_CASE_5, false)));
            EXPECT_TRUE(has_error(out, message(13).c_str(), err));
        }
    }
}

// ---- lock layers that grant all, never grant a pending request, or keep a release

// A release that answers success and keeps the byte: the solo steps' waiting
// exclusive lock then queues behind its own handle's lock.
BOOL WINAPI unlock_keeps_the_lock(HANDLE, DWORD, DWORD, DWORD, LPOVERLAPPED) { return TRUE; }

TEST(FaultWalk, LockLayersThatGrantAllNeverOrKeep) {
    RunOutcome all = soak::run_single_check([](CheckContext *) { grant_every_lock(); });
    judge(all, false, "every lock granted");
    EXPECT_EQ(all.result, 1);
    // Cases 3 and 6 must have been refused; 6 runs on both paths.
    EXPECT_TRUE(has_line(all, "! " + message(18))) << describe(all);
    EXPECT_TRUE(has_line(all, "! " + message(19))) << describe(all);

    RunOutcome never = soak::run_single_check([](CheckContext *) { never_grant_a_pending_lock(); });
    judge(never, false, "pending request never granted");
    EXPECT_EQ(never.result, 1);
    EXPECT_TRUE(has_line(never, "! " + message(22)));
    EXPECT_TRUE(has_line(never, end_line_of(LOCK_CASE_5, false)));

    // Every wait failing: the queued request's timer cannot be read. The request must
    // be withdrawn before its record goes, or its end writes into freed memory.
    RunOutcome kept = soak::run_single_check([](CheckContext *) {
        sys_calls.unlock_file_ex = unlock_keeps_the_lock;
        fail_call<&SysCalls::wait_for_single_object>(1, true, ERROR_INVALID_HANDLE, (DWORD)WAIT_FAILED);
    });
    judge(kept, false, "released lock kept, timer unreadable");
    // Wine never queues a waiting request on an overlapped handle: it answers it granted.
    if (!platform_is_wine()) {
        EXPECT_TRUE(has_error(kept, message(13).c_str(), ERROR_INVALID_HANDLE)) << describe(kept);
    }
}

// ---- the log file becomes unwritable in the middle of a run ----------------------

// A path of the Win32 layer as the standard library takes it on both builds.
std::string native(std::string path) {
    for (char &c : path)
        if (c == '\\') c = '/';
    return path;
}

// Counts the lines of the thread that writes the report and swaps the log for a
// folder between two of them: on another thread the writer may have the log open,
// and Windows refuses to remove an open file.
struct LogBreaker {
    static inline ReportLineHook chained = nullptr;
    static inline DWORD writer = 0;
    static inline int lines = 0;
    static inline int at = 0;
    static inline std::string log;
    static void hook() {
        if (GetCurrentThreadId() == writer && ++lines == at) {
            // A folder where the log was: every later open of the log fails.
            std::error_code ec;
            std::filesystem::remove(native(log), ec);
            std::filesystem::create_directory(native(log), ec);
        }
        if (chained != nullptr) chained();
    }
};

TEST(FaultWalk, LogFileUnwritableInTheMiddleOfARun) {
    // The result the same folders give with a writable log.
    RunOutcome plain = soak::run_single_check([](CheckContext *) {});
    judge(plain, false, "undisturbed run");
    for (int at : {5, 40, 120}) {
        RunOutcome out = soak::run_single_check([&](CheckContext *) {
            LogBreaker::chained = report_line_hook;
            LogBreaker::writer = GetCurrentThreadId();
            LogBreaker::lines = 0;
            LogBreaker::at = at;
            LogBreaker::log = soak::log_path();
            report_line_hook = LogBreaker::hook;
        });
        report_line_hook = LogBreaker::chained;
        // The report is cut, so only the run itself is judged: a clean folder still passes.
        out.problems.clear();
        judge(out, false, "log unwritable after " + std::to_string(at) + " lines");
        EXPECT_EQ(out.result, plain.result);
        EXPECT_TRUE(out.report.empty()) << "the log is a folder now";
        EXPECT_GE(LogBreaker::lines, at);
    }
}

class TallyPrinter : public ::testing::Environment {
  public:
    void TearDown() override {
        const soak::Tally &t = soak::tally();
        printf("soak faults: run=%d passed=%d left=%d longest=%.1f\n", t.run, t.passed, t.left, t.longest);
    }
};
const ::testing::Environment *const printer = ::testing::AddGlobalTestEnvironment(new TallyPrinter);

}  // namespace
