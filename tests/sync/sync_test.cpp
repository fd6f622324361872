// Two threads meeting through a rendezvous: opening and roles, the bytes held
// after each point, the ways a meeting fails, the ways it ends, and the control
// handler's stop of threads that are still opening.
#include "base/cleanup_lock.h"
#include "fsprim/calls.h"
#include "support/testsupport.h"
#include "sync/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char kTimeoutLine[] = "        ! 処理待機時間がタイムアウト時間を超えました。\r\n";
const char kPeerGoneLine[] = "        ! 相手プロセスが既に終了しています。\r\n";
const char kEndWaitCreated[] = "終了同期ファイルを作成します。";

// Report operations each thread has started, counted through the line hook
// (on top of the hook that the sync layer installs).
std::atomic<int> g_lines[2];
thread_local int t_party = -1;
ReportLineHook g_chained_hook;

// When set, party 1 stops in its report operation number g_block_at (counted from 1)
// until g_block_released: busy in the middle of its work, as in a slow system call.
std::atomic<int> g_block_at{0};
std::atomic<bool> g_block_released{false};
std::atomic<bool> g_blocked{false};

void counting_hook(void) {
    if (g_chained_hook != nullptr) g_chained_hook();
    if (t_party < 0) return;
    const int n = ++g_lines[t_party];
    if (t_party == 1 && n == g_block_at.load()) {
        g_blocked = true;
        while (!g_block_released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool wait_until(const std::function<bool()> &done, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Barrier {
  public:
    explicit Barrier(int parties) : parties_(parties) {}
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const int generation = generation_;
        if (++waiting_ == parties_) {
            waiting_ = 0;
            ++generation_;
            cv_.notify_all();
            return;
        }
        cv_.wait(lock, [&] { return generation != generation_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    const int parties_;
    int waiting_ = 0;
    int generation_ = 0;
};

// Bytes 0 to 7 of the master file that other handles hold, as "1,2,4,5"; to be
// called only while both parties stand still between two calls.
std::string held_bytes(const std::string &master) {
    HANDLE h = CreateFileA(master.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return "no file";
    std::string held;
    for (DWORD offset = 0; offset < 8; ++offset) {
        OVERLAPPED ov = {};
        ov.Offset = offset;
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) {
            UnlockFileEx(h, 0, 1, 0, &ov);
        } else {
            held += (held.empty() ? "" : ",") + std::to_string(offset);
        }
    }
    CloseHandle(h);
    return held;
}

std::string computer_name() {
    char name[256] = {};
    DWORD size = sizeof name;
    GetComputerNameExA(ComputerNamePhysicalDnsFullyQualified, name, &size);
    return name;
}

class Rendezvous : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, create_cleanup_lock());
        log_ = logdir_.file("report.log");
        ASSERT_EQ(0, open_report_log(log_.c_str()));
        g_chained_hook = sync_report_hook;  // as the entry installs it
        report_line_hook = counting_hook;
        t_party = 0;
    }
    void TearDown() override {
        report_line_hook = g_chained_hook;
        t_party = -1;
        open_report_log("");
    }
    std::string report() { return kavtest::read_file(log_); }
    std::string master() { return dir_.file(".#KAVLOCK.master"); }
    std::string endwait() { return dir_.file("endwaitfile"); }
    bool no_rendezvous_files() { return !kavtest::file_exists(master()) && !kavtest::file_exists(endwait()); }
    // Opens a kind-2 pair that both parties must get: the main thread's session in *a.
    void open_both(SyncSession **a, SyncSession **b, int32_t timeout = 5) {
        *a = open_pair(b, timeout);
        ASSERT_NE(nullptr, *a);
        ASSERT_NE(nullptr, *b);
    }
    // Opens a kind-2 pair: the main thread first, the helper's session returned through *other.
    SyncSession *open_pair(SyncSession **other, int32_t timeout = 5) {
        const int base = g_lines[0];
        std::thread helper([&] {
            // The main thread has taken byte 1 and waits once it has begun its seventh line.
            if (wait_until([&] { return g_lines[0] >= base + 7; })) *other = sync_open(2, dir_.path().c_str(), timeout);
        });
        SyncSession *session = sync_open(2, dir_.path().c_str(), timeout);
        helper.join();
        return session;
    }

    kavtest::TempDir logdir_, dir_;
    std::string log_;
};

// Both arrival orders at the opening, 1 to 3 points, checking roles, the bytes
// held after each point and the pairs 4/5, 6/7, 4/5 in turn.
TEST_F(Rendezvous, TwoThreadsMeetAndPartInEitherArrivalOrder) {
    for (int first = 0; first < 2; ++first) {
        for (int points = 1; points <= 3; ++points) {
            SCOPED_TRACE("first " + std::to_string(first) + ", points " + std::to_string(points));
            kavtest::TempDir dir;
            const std::string master = dir.file(".#KAVLOCK." + computer_name() + "." +
                                                std::to_string((int)GetCurrentProcessId()) + ".master");
            const std::string endwait =
                dir.file(computer_name() + "." + std::to_string((int)GetCurrentProcessId()) + ".endwaitfile");
            SyncSession *sessions[2] = {nullptr, nullptr};
            int point_results[2][4] = {};
            int close_results[2] = {-9, -9};
            Barrier barrier(2);
            const int base = g_lines[first];
            auto party = [&](int index, const std::function<void()> &check) {
                t_party = index;
                if (index != first && !wait_until([&] { return g_lines[first] >= base + 7; })) return;
                sessions[index] = sync_open(1, dir.path().c_str(), 5);
                barrier.wait();
                check();
                barrier.wait();
                if (sessions[0] == nullptr || sessions[1] == nullptr) return;
                for (int i = 1; i <= points; ++i) {
                    point_results[index][i] = sync_point(sessions[index]);
                    barrier.wait();
                    check();
                    barrier.wait();
                }
                close_results[index] = sync_close(sessions[index]);
            };
            int checked = 0;
            auto check = [&] {
                ASSERT_NE(nullptr, sessions[0]);
                ASSERT_NE(nullptr, sessions[1]);
                SyncSession *a = sessions[first];
                SyncSession *b = sessions[first ^ 1];
                if (checked == 0) {
                    EXPECT_EQ(0u, a->role);
                    EXPECT_EQ(1u, a->own_live_offset);
                    EXPECT_EQ(2u, a->peer_live_offset);
                    EXPECT_EQ(1u, b->role);
                    EXPECT_EQ(2u, b->own_live_offset);
                    EXPECT_EQ(1u, b->peer_live_offset);
                    EXPECT_EQ("1,2", held_bytes(master));
                } else {
                    EXPECT_EQ(0, point_results[0][checked]);
                    EXPECT_EQ(0, point_results[1][checked]);
                    const uint32_t low = checked % 2 == 1 ? 4 : 6;
                    EXPECT_EQ(2 * low + 1, a->info_offset + b->info_offset);
                    EXPECT_TRUE(a->info_offset == low || b->info_offset == low);
                    EXPECT_EQ(checked % 2 == 1 ? "1,2,4,5" : "1,2,6,7", held_bytes(master));
                    EXPECT_EQ(0, a->gate_held);
                    EXPECT_EQ(0, b->gate_held);
                }
                ++checked;
            };
            std::thread helper(party, 1, [] {});
            party(0, check);
            helper.join();
            EXPECT_EQ(points + 1, checked);
            EXPECT_EQ(0, close_results[0]);
            EXPECT_EQ(0, close_results[1]);
            EXPECT_FALSE(kavtest::file_exists(master));
            EXPECT_FALSE(kavtest::file_exists(endwait));
        }
    }
}

// Names past 255 characters are cut alike in both parties, which still meet.
TEST_F(Rendezvous, OverlongNamesAreCutAlikeInBothParties) {
    const std::string base = dir_.path() + "\\";
    const size_t sub_length = 240 - base.size();  // folder of 240: the master name needs 257
    const std::string sub(sub_length, 'd');
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::path(dir_.path()) / sub, ec));
    const std::string folder = base + sub;
    const std::string cut = (folder + "\\.#KAVLOCK.master").substr(0, 255);

    SyncSession *b = nullptr;
    std::thread helper([&] {
        t_party = 1;
        b = sync_open(2, folder.c_str(), 5);
    });
    SyncSession *a = sync_open(2, folder.c_str(), 5);
    helper.join();
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(cut, std::string(a->master_path));
    EXPECT_EQ(cut, std::string(b->master_path));
    EXPECT_EQ(1u, a->role + b->role);
    EXPECT_TRUE(kavtest::file_exists(cut));
    std::thread closer([&] { sync_close(b); });
    EXPECT_EQ(0, sync_close(a));
    closer.join();
    EXPECT_FALSE(kavtest::file_exists(cut));
}

TEST_F(Rendezvous, PeerThatNeverComesTimesOutAndTheMasterFileGoes) {
    EXPECT_EQ(nullptr, sync_open(2, dir_.path().c_str(), 1));
    EXPECT_NE(std::string::npos, report().find(kTimeoutLine));
    EXPECT_TRUE(no_rendezvous_files());
}

TEST_F(Rendezvous, ThirdPartyIsRefusedAndThePairGoesOn) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));
    EXPECT_EQ(nullptr, sync_open(2, dir_.path().c_str(), 2));
    EXPECT_NE(std::string::npos, report().find("        ! 排他ロックの非待機取得に失敗しました。 ERRORCODE=33("));
    // The refused party's clean-up cannot delete a master file that the pair holds open.
    EXPECT_TRUE(kavtest::file_exists(master()));
    int b_result = -9;
    std::thread helper([&] { b_result = sync_point(b) == 0 ? sync_close(b) : -1; });
    EXPECT_EQ(0, sync_point(a));
    EXPECT_EQ(0, sync_close(a));
    helper.join();
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(no_rendezvous_files());
}

TEST_F(Rendezvous, StaleMasterFileIsUsedAsItIs) {
    HANDLE stale = CreateFileA(master().c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, stale);
    CloseHandle(stale);
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b, 2));
    std::thread helper([&] { sync_close(b); });
    EXPECT_EQ(0, sync_close(a));
    helper.join();
    EXPECT_TRUE(no_rendezvous_files());
}

// The first party to close gives up its bytes before it closes its handle. A second
// close that comes in between finds it gone, but its handle still denies the delete
// of the master file for that moment: the file must go all the same.
TEST_F(Rendezvous, CloseThatFindsTheOtherGoneDeletesTheMasterFileOnceItsHandleCloses) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));
    // a between the release of its last byte and the close of its handle.
    OVERLAPPED live = {};
    live.Offset = a->own_live_offset;
    ASSERT_TRUE(UnlockFileEx(a->file, 0, 1, 0, &live));
    HANDLE a_file = a->file;
    a->file = INVALID_HANDLE_VALUE;
    int b_result = -9;
    const int base = g_lines[1];
    std::thread closer([&] {
        t_party = 1;
        b_result = sync_close(b);
    });
    // b's fourth line: it has found a gone and releases its session.
    const bool reached = wait_until([&] { return g_lines[1] >= base + 4; });
    CloseHandle(a_file);
    closer.join();
    ASSERT_TRUE(reached);
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(no_rendezvous_files());
    sync_release(a, SESSION_KEEP_FILES);
}

TEST_F(Rendezvous, PartyCallingMorePointsTimesOut) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));
    a->timeout_sec = 1;
    // One point fewer, then it stays alive without closing until the other has timed out
    // (a close meanwhile would let the other find it gone instead).
    Barrier timed_out(2);
    int b_result = -9;
    std::thread helper([&] {
        const int point = sync_point(b);
        timed_out.wait();
        b_result = point == 0 ? sync_close(b) : -1;
    });
    EXPECT_EQ(0, sync_point(a));
    EXPECT_EQ(-1, sync_point(a));
    timed_out.wait();
    EXPECT_NE(std::string::npos, report().find(kTimeoutLine));
    EXPECT_EQ(std::string::npos, report().find(kPeerGoneLine));
    EXPECT_EQ(0, sync_close(a));
    helper.join();
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(no_rendezvous_files());
}

TEST_F(Rendezvous, PeerThatGoesWhileThisOneWaitsIsNoticed) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));
    Barrier met(2);
    std::thread helper([&] {
        sync_point(b);
        met.wait();  // the other has seen this point too
        sync_release(b, SESSION_KEEP_FILES);  // gone without closing, as if killed
    });
    EXPECT_EQ(0, sync_point(a));
    met.wait();
    helper.join();
    EXPECT_EQ(-1, sync_point(a));
    EXPECT_NE(std::string::npos, report().find(kPeerGoneLine));
    // The other party is gone: this close is the second one and removes both files.
    EXPECT_EQ(0, sync_close(a));
    EXPECT_EQ(std::string::npos, report().find(kEndWaitCreated));
    EXPECT_TRUE(no_rendezvous_files());
    EXPECT_EQ(0, sync_close(b));  // released already: frees the record only
}

TEST_F(Rendezvous, CloseAfterTheOtherHasClosedDeletesAndReturnsAtOnce) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));
    int b_result = -9;
    std::thread helper([&] { b_result = sync_close(b); });
    // The helper closes first: it leaves the end-wait file and waits for it to go.
    ASSERT_TRUE(wait_until([&] { return kavtest::file_exists(endwait()); }));
    EXPECT_EQ(0, sync_close(a));
    helper.join();
    EXPECT_EQ(0, b_result);
    EXPECT_EQ(std::string::npos, report().find(kEndWaitCreated));
    EXPECT_TRUE(no_rendezvous_files());
}

// A file server that drops a closed handle's locks a moment late: the second
// closer's probe still finds the first closer's liveness byte held. Installed
// before the other thread starts, answering only for one handle.
HANDLE g_late_file;
DWORD g_late_byte;
std::atomic<bool> g_late_answered;
BOOL WINAPI lock_released_late(HANDLE file, DWORD flags, DWORD reserved, DWORD low, DWORD high, LPOVERLAPPED ov) {
    if (file == g_late_file && ov->Offset == g_late_byte && !g_late_answered.exchange(true)) {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    return LockFileEx(file, flags, reserved, low, high, ov);
}

// Both rendezvous files, as a run killed in its final close wait leaves them.
void leave_interrupted_run(const std::string &master, const std::string &endwait) {
    for (const std::string &path : {master, endwait}) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        CloseHandle(h);
    }
}

TEST_F(Rendezvous, ACloseThatStillSeesTheFirstCloserAliveTakesItsEndWaitFileAsItsEnd) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b, 2));
    g_late_file = a->file;
    g_late_byte = a->peer_live_offset;
    g_late_answered = false;
    sys_calls.lock_file_ex = lock_released_late;
    int b_result = -9;
    std::thread helper([&] { b_result = sync_close(b); });
    const bool first_closed = wait_until([&] { return kavtest::file_exists(endwait()); });
    EXPECT_EQ(0, sync_close(a));
    helper.join();
    sys_calls_reset();
    ASSERT_TRUE(first_closed);
    EXPECT_TRUE(g_late_answered);
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(no_rendezvous_files());
}

// An end-wait file left by an interrupted run is not the other party's: a party
// that closes while the other is still at work closes first and waits for it.
TEST_F(Rendezvous, AnInterruptedRunsEndWaitFileDoesNotEndTheSession) {
    ASSERT_NO_FATAL_FAILURE(leave_interrupted_run(master(), endwait()));
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b, 5));
    std::atomic<bool> a_returned{false};
    int b_result = -9;
    const int base = g_lines[0];
    std::thread helper([&] {
        // Still in the session until a waits as the first closer (its sixth line) or has left.
        wait_until([&] { return g_lines[0] >= base + 6 || a_returned.load(); });
        b_result = sync_close(b);
    });
    const int a_result = sync_close(a);
    a_returned = true;
    helper.join();
    EXPECT_EQ(0, a_result);
    EXPECT_EQ(0, b_result);
    EXPECT_NE(std::string::npos, report().find(kEndWaitCreated));
    EXPECT_TRUE(no_rendezvous_files());
}

TEST_F(Rendezvous, ClosesAtTheSameMomentBothSucceed) {
    for (int round = 0; round < 3; ++round) {
        SyncSession *b = nullptr;
        SyncSession *a = open_pair(&b);
        ASSERT_NE(nullptr, a);
        ASSERT_NE(nullptr, b);
        Barrier barrier(2);
        int b_result = -9;
        std::thread helper([&] {
            barrier.wait();
            b_result = sync_close(b);
        });
        barrier.wait();
        EXPECT_EQ(0, sync_close(a));
        helper.join();
        EXPECT_EQ(0, b_result);
        EXPECT_TRUE(no_rendezvous_files());
    }
}

TEST_F(Rendezvous, ReleaseRunsOnceAndACloseWithoutFileTouchesNothing) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));
    sync_release(a, SESSION_KEEP_FILES);
    EXPECT_EQ(INVALID_HANDLE_VALUE, a->file);
    EXPECT_EQ(0u, a->own_live_offset);
    EXPECT_EQ("2", held_bytes(master()));
    sync_release(a, SESSION_DELETE_FILES);  // released already: deletes nothing
    EXPECT_TRUE(kavtest::file_exists(master()));
    EXPECT_EQ(0, sync_close(a));
    EXPECT_EQ("2", held_bytes(master()));
    EXPECT_EQ(0, sync_close(b));
    EXPECT_TRUE(no_rendezvous_files());
    sync_release(nullptr, SESSION_DELETE_FILES);
}

// The handler acts on a thread still inside sync_open and on nothing else: a
// pair that has met goes on as before.
TEST_F(Rendezvous, ControlHandlerStopsOnlyThreadsStillOpening) {
    SyncSession *a = nullptr;
    SyncSession *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_both(&a, &b));

    kavtest::TempDir lonely;
    const std::string lonely_master = lonely.file(".#KAVLOCK.master");
    std::atomic<bool> returned{false};
    const int base = g_lines[1];
    // Never joined: a stopped thread parks until the process ends.
    std::thread opener([&] {
        t_party = 1;
        sync_open(2, lonely.path().c_str(), 30);
        returned = true;
    });
    opener.detach();
    // It holds byte 1 and waits. (Probing its bytes now could pass for a second party.)
    ASSERT_TRUE(wait_until([&] { return g_lines[1] >= base + 7; }));
    ASSERT_TRUE(kavtest::file_exists(lonely_master));

    EXPECT_FALSE(sync_ctrl_handler(CTRL_C_EVENT));
    // Released on the handler's own run: no lock left, no file left.
    EXPECT_FALSE(kavtest::file_exists(lonely_master));
    EXPECT_FALSE(kavtest::file_exists(lonely.file("endwaitfile")));
    const int stopped_at = g_lines[1];
    // Stopped: it neither returns nor writes again, however long it is given.
    EXPECT_FALSE(wait_until([&] { return returned.load() || g_lines[1] != stopped_at; }, 1500));

    int b_result = -9;
    std::thread helper([&] { b_result = sync_point(b) == 0 ? sync_close(b) : -1; });
    EXPECT_EQ(0, sync_point(a));
    EXPECT_EQ(0, sync_close(a));
    helper.join();
    EXPECT_EQ(0, b_result);
    EXPECT_TRUE(no_rendezvous_files());
    EXPECT_FALSE(sync_ctrl_handler(CTRL_C_EVENT));  // nothing left to stop
}

// A thread busy in the middle of its work when the handler runs is not released
// under its feet: the handler waits a bounded time, then leaves the thread to
// release its own session at its next stop point, where it parks.
TEST_F(Rendezvous, ControlHandlerLeavesABusyOpenerToReleaseItsOwnSession) {
    kavtest::TempDir lonely;
    const std::string lonely_master = lonely.file(".#KAVLOCK.master");
    std::atomic<bool> returned{false};
    g_block_released = false;
    g_blocked = false;
    g_block_at = g_lines[1] + 6;  // the line before it takes byte 1; it holds the gate and byte 3
    std::thread opener([&] {
        t_party = 1;
        sync_open(2, lonely.path().c_str(), 30);
        returned = true;
    });
    opener.detach();  // parks for good
    ASSERT_TRUE(wait_until([&] { return g_blocked.load(); }));

    EXPECT_FALSE(sync_ctrl_handler(CTRL_C_EVENT));
    EXPECT_TRUE(kavtest::file_exists(lonely_master));  // not touched while busy

    const int blocked_at = g_lines[1];
    g_block_released = true;
    EXPECT_TRUE(wait_until([&] { return !kavtest::file_exists(lonely_master); }));
    // It wrote the line it was in and stopped at its next report line, which it never wrote.
    EXPECT_FALSE(wait_until([&] { return returned.load() || g_lines[1] != blocked_at; }, 1500));
    g_block_at = 0;
}

// A busy thread that reaches a stop point within the handler's wait hands its
// session over: the handler has released it by the time it returns.
TEST_F(Rendezvous, ControlHandlerTakesOverFromABusyOpenerThatStops) {
    kavtest::TempDir lonely;
    const std::string lonely_master = lonely.file(".#KAVLOCK.master");
    g_block_released = false;
    g_blocked = false;
    g_block_at = g_lines[1] + 6;
    std::thread opener([&] {
        t_party = 1;
        sync_open(2, lonely.path().c_str(), 30);
    });
    opener.detach();  // parks for good
    ASSERT_TRUE(wait_until([&] { return g_blocked.load(); }));

    BOOL handled = TRUE;
    std::thread handler([&] { handled = sync_ctrl_handler(CTRL_C_EVENT); });
    g_block_released = true;  // well within the handler's wait
    handler.join();
    EXPECT_FALSE(handled);
    EXPECT_FALSE(kavtest::file_exists(lonely_master));
    EXPECT_FALSE(kavtest::file_exists(lonely.file("endwaitfile")));
    g_block_at = 0;
}

}  // namespace
