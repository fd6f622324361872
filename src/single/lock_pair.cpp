// The two-party lock sequence that both modes run, each party on its own files.
#include "single/lock_pair.h"

#include "fsprim/calls.h"
#include "fsprim/io_records.h"
#include "single/frame.h"
#include "sync/sync.h"

const char LOCK_OWN_EXCLUSIVE[] = "自ファイルを排他ロックします。";
const char LOCK_OWN_SHARED[] = "自ファイルを共有ロックします。";
const char UNLOCK_OWN[] = "自ファイルをアンロックします。";
const char SYNC_OPENING[] = "同期処理の初期化をします。";
const char OPENING_OWN_FILE[] = "自プロセスのファイルをオープンします。(%s)";
const char OPENING_PEER_FILE[] = "対向プロセスのファイルをオープンします。(%s)";

namespace {

const char LOCK_PEER_EXCLUSIVE[] = "対向ファイルを排他ロックします。";
const char LOCK_PEER_SHARED[] = "対向ファイルを共有ロックします。";
const char UNLOCK_PEER[] = "対向ファイルをアンロックします。";

struct Party {
    const CheckContext *ctx;
    const LockPairMode *mode;
    SyncSession *session;
    HANDLE own;
    HANDLE peer;
    HANDLE event_a;  // every timed lock and unlock
    HANDLE event_b;  // the waiting requests
    HANDLE timer;
    LONGLONG due;
    CheckError error;
    TestObjects *objects;  // of the test's frame, which withdraws a request left pending
};

// A waiting request that went pending and has not been seen to end, in the slot
// of its own record: a request that timed out stays there while later ones come.
int request_slot(Party *p, const OVERLAPPED *ov) { return (int)(ov - static_cast<OVERLAPPED *>(p->objects->block)); }
void track_request(Party *p, OVERLAPPED *ov) { p->objects->pending[request_slot(p, ov)] = {p->peer, ov}; }
void request_ended(Party *p, OVERLAPPED *ov) { p->objects->pending[request_slot(p, ov)] = {NULL, nullptr}; }

// How the sequence goes on after a line: on, ended NG (a lock or release that had
// to succeed failed), ended aborted (a meeting failed).
enum Flow { GO, FAIL, ABORT };

Flow meet(Party *p) {
    if (sys_calls.sync_point(p->session) == 0) return GO;
    report_error(&p->error);  // nothing when it holds no code
    return ABORT;
}

int party_lock(Party *p, HANDLE file, int exclusive, int wait, int report_refusal) {
    return sys_calls.lock_range_timed(p->ctx, file, p->event_a, p->timer, exclusive, wait, &p->error,
                                         report_refusal);
}

int party_unlock(Party *p, HANDLE file) {
    return sys_calls.unlock_range_timed(p->ctx, file, p->event_a, p->timer, &p->error);
}

// A line outside the cases: a detail line and a lock or release of the own file
// that must succeed, then, when asked, a sync point.
Flow own_line(Party *p, const char *line, bool unlock, int exclusive, bool then_meet) {
    report_info(line);
    int rc = unlock ? party_unlock(p, p->own) : party_lock(p, p->own, exclusive, LOCK_WAIT, REFUSAL_REPORTED);
    if (rc != 0) return FAIL;
    return then_meet ? meet(p) : GO;
}

// A case in progress: its result and the result of the whole sequence that it
// joins. A case left because its own lock or release failed is NG; one left at a
// failed sync point keeps the result it had.
struct Case {
    TestResult result;
    TestResult *total;
    Flow end(Flow flow) {
        if (flow == FAIL) result = TEST_NG;
        *total = combine_result(*total, result);
        return flow;
    }
};

// Cases 1 and 2: a non-waiting exclusive lock on the peer file, whose lock the
// other party has just released, must be granted.
Flow case_released(Party *p, const char *title, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope(title, &c.result);
    report_info(LOCK_PEER_EXCLUSIVE);
    if (party_lock(p, p->peer, LOCK_EXCLUSIVE, LOCK_NO_WAIT, REFUSAL_REPORTED) == 0) {
        report_info(UNLOCK_PEER);
        if (party_unlock(p, p->peer) != 0) return c.end(FAIL);
    } else {
        c.result = TEST_NG;
    }
    return c.end(meet(p));
}

// Cases 3 and 6: a non-waiting exclusive lock on the byte the other party holds
// must be refused. A request that the file system queued and the timeout ended was
// not granted either: after its timeout line it counts as the refusal. Any other
// failure the call wrote (a request it could not make) is no refusal.
Flow case_refused(Party *p, const char *title, CheckCode granted_code, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope(title, &c.result);
    if (meet(p) != GO) return c.end(ABORT);
    report_info(LOCK_PEER_EXCLUSIVE);
    p->error = {0, 0};
    if (party_lock(p, p->peer, LOCK_EXCLUSIVE, LOCK_NO_WAIT, REFUSAL_SILENT) != 0) {
        if (p->error.code != CHECK_NONE && p->error.code != CHECK_TIMEOUT) {
            c.result = TEST_NG;  // the call wrote why
        } else {
            set_check_error(&p->error, CHECK_EXCLUSIVE_NO_WAIT_FAILED);
            report_error_info(&p->error);
        }
    } else {
        report_check_error(&p->error, granted_code, 0);
        c.result = TEST_NG;
    }
    return c.end(GO);
}

// Case 4: a waiting shared lock on the byte the other party holds shared is granted.
Flow case_shared_on_shared(Party *p, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope("処理「共有ロック領域へ共有ロックを待機する設定で取得」", &c.result);
    if (meet(p) != GO) return c.end(ABORT);
    report_info(LOCK_PEER_SHARED);
    if (party_lock(p, p->peer, LOCK_SHARED, LOCK_WAIT, REFUSAL_REPORTED) == 0) {
        report_info(UNLOCK_PEER);
        if (party_unlock(p, p->peer) != 0) return c.end(FAIL);
    } else {
        c.result = TEST_NG;
    }
    return c.end(GO);
}

// Judges a waiting request on the peer file started with lock_range: granted at
// once, or granted within the timeout.
TestResult judge_request(Party *p, int started, DWORD start_error, OVERLAPPED *ov, CheckCode code) {
    if (started == 0) return TEST_OK;
    if (started == -1) {
        SetLastError(start_error);
        report_check_error(&p->error, code);
        return TEST_NG;
    }
    int r = sys_calls.wait_overlapped_timed(p->peer, ov, p->timer, p->due);
    if (r != -3) request_ended(p, ov);
    if (r == 0) return TEST_OK;
    if (r == -3) {
        set_check_error(&p->error, CHECK_TIMEOUT, 0);
    } else {
        set_check_error(&p->error, code);
    }
    report_error(&p->error);
    return TEST_NG;
}

// Cases 5, 7 and 8: a waiting request on the peer file that the other party's
// release must let through. ov is the request's own record, never reused; the
// test's frame withdraws a request still outstanding and keeps its block if the
// request never ends.
struct WaitCase {
    const char *title;
    int exclusive;
    const char *judge_line;
    CheckCode code;
    int meetings_before[2];  // before the request: two threads, two processes
    bool relock_own;         // take the own file exclusively again at the end
    bool meet_after_relock;  // and meet once more
};

const WaitCase CASE5 = {"処理「共有ロック領域へ排他ロックを待機する設定で取得」", LOCK_EXCLUSIVE, LOCK_PEER_EXCLUSIVE,
                        CHECK_EXCLUSIVE_WAIT_FAILED, {1, 2}, true, false};
const WaitCase CASE7 = {"処理「排他ロック領域へ共有ロックを待機する設定で取得」", LOCK_SHARED, LOCK_PEER_SHARED,
                        CHECK_SHARED_WAIT_FAILED, {1, 2}, true, true};
const WaitCase CASE8 = {"処理「排他ロック領域へ排他ロックを待機する設定で取得」", LOCK_EXCLUSIVE, LOCK_PEER_EXCLUSIVE,
                        CHECK_EXCLUSIVE_WAIT_FAILED, {0, 2}, false, false};

Flow case_waiting(Party *p, const WaitCase *w, OVERLAPPED *ov, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope(w->title, &c.result);
    for (int i = 0; i < w->meetings_before[p->mode->meetings]; ++i)
        if (meet(p) != GO) return c.end(ABORT);
    memset(ov, 0, sizeof *ov);
    ov->hEvent = p->event_b;
    int started = sys_calls.lock_range(p->peer, w->exclusive, ov);
    DWORD start_error = GetLastError();
    if (started == -2) track_request(p, ov);
    if (meet(p) != GO) return c.end(ABORT);
    report_info(UNLOCK_OWN);
    if (party_unlock(p, p->own) != 0) return c.end(FAIL);
    report_info(w->judge_line);
    c.result = judge_request(p, started, start_error, ov, w->code);
    if (meet(p) != GO) return c.end(ABORT);
    report_info(UNLOCK_PEER);
    if (party_unlock(p, p->peer) != 0) return c.end(FAIL);
    if (meet(p) != GO) return c.end(ABORT);
    if (w->relock_own) {
        Flow f = own_line(p, LOCK_OWN_EXCLUSIVE, false, LOCK_EXCLUSIVE, w->meet_after_relock);
        if (f != GO) return c.end(f);
    }
    return c.end(GO);
}

// The sequence both parties run, with the cases' results joined in *total.
Flow run_sequence(Party *p, int selector, OVERLAPPED requests[3], TestResult *total) {
    const bool shared_path = selector == FOLDER_SHARED;
    Flow f = meet(p);
    if (f != GO) return f;
    if (shared_path) {
        if ((f = own_line(p, LOCK_OWN_SHARED, false, LOCK_SHARED, true)) != GO) return f;
        if ((f = own_line(p, UNLOCK_OWN, true, LOCK_SHARED, true)) != GO) return f;
        f = case_released(p, "処理「共有ロック開放領域へ排他ロックを待機しない設定で取得」", total);
        if (f != GO) return f;
    }
    if ((f = own_line(p, LOCK_OWN_EXCLUSIVE, false, LOCK_EXCLUSIVE, true)) != GO) return f;
    if ((f = own_line(p, UNLOCK_OWN, true, LOCK_SHARED, true)) != GO) return f;
    f = case_released(p, "処理「排他ロック開放領域へ排他ロックを待機しない設定で取得」", total);
    if (f != GO) return f;
    // The own byte for the cases that follow: shared for the shared-settings
    // path, exclusive for the target path.
    if (shared_path) {
        if ((f = own_line(p, LOCK_OWN_SHARED, false, LOCK_SHARED, false)) != GO) return f;
        f = case_refused(p, "処理「共有ロック領域へ排他ロックを待機しない設定で取得」", CHECK_EXCLUSIVE_OVER_SHARED, total);
        if (f != GO) return f;
        if ((f = case_shared_on_shared(p, total)) != GO) return f;
        if ((f = case_waiting(p, &CASE5, &requests[0], total)) != GO) return f;
    } else {
        if ((f = own_line(p, LOCK_OWN_EXCLUSIVE, false, LOCK_EXCLUSIVE, false)) != GO) return f;
    }
    f = case_refused(p, "処理「排他ロック領域へ排他ロックを待機しない設定で取得」", CHECK_EXCLUSIVE_OVER_EXCLUSIVE, total);
    if (f != GO) return f;
    if (shared_path && (f = case_waiting(p, &CASE7, &requests[1], total)) != GO) return f;
    return case_waiting(p, &CASE8, &requests[2], total);
}

// Names and opens one of the party's files; 0, or 1 after the error line.
int open_party_file(Party *p, const char *folder, int selector, int32_t number, const char *line, char *name,
                    HANDLE *registered) {
    p->mode->name(name, p->ctx->mode, folder, number);
    report_infof(line, name);
    if (p->mode->open(registered, name) != INVALID_HANDLE_VALUE) return 0;
    report_check_error(&p->error, open_failure_code(selector));
    return 1;
}

}  // namespace

CheckCode open_failure_code(int selector) {
    return selector == FOLDER_SHARED ? CHECK_SHARED_NOT_OPENED : CHECK_TARGET_NOT_OPENED;
}

TestResult lock_pair_test(CheckContext *ctx, int selector, const LockPairMode *mode) {
    const char *folder = selected_folder(ctx, selector);
    if (folder == nullptr) return mode->bad_selector;
    report_info(SYNC_OPENING);
    SyncSession *session = sys_calls.sync_open(mode->rendezvous_kind, ctx->kavsharepath, ctx->timeout);
    if (session == nullptr) {
        report_info("同期処理の初期化に失敗しました。");
        return TEST_ABORTED;
    }
    const int role = (int)session->role;
    TestFrame frame(mode->claim, mode->release, role, session);
    TestObjects *objects = &frame.objects;
    Party p = {ctx, mode, session, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, NULL, NULL, NULL,
               timeout_due_time(ctx->timeout), {0, 0}, objects};
    const LockPairFiles files = mode->files(role);
    // The waiting requests' records, one for each case: none is reused.
    objects->block = io_block_new(3 * sizeof(OVERLAPPED));
    if (create_test_objects(objects, 2, &p.error) != 0) return TEST_NG;
    p.event_a = objects->events[0];
    p.event_b = objects->events[1];
    p.timer = objects->timer;

    if (open_party_file(&p, folder, selector, role, OPENING_OWN_FILE, files.own_name,
                        files.own) != 0 ||
        open_party_file(&p, folder, selector, role ^ 1, OPENING_PEER_FILE, files.peer_name, files.peer) != 0)
        return TEST_NG;
    p.own = *files.own;
    p.peer = *files.peer;

    OVERLAPPED *requests = static_cast<OVERLAPPED *>(objects->block);
    if (requests == nullptr) {
        report_check_error(&p.error, CHECK_NO_MEMORY);
        return TEST_NG;
    }
    TestResult total = TEST_OK;
    Flow f = run_sequence(&p, selector, requests, &total);
    if (f == ABORT) return TEST_ABORTED;
    if (f == FAIL) return TEST_NG;
    return total;
}
