// The lock test: solo steps on one work file, then the paired sequence that the
// main thread and the partner thread run in step on each other's files.
#include "single/frame.h"
#include "single/single_calls.h"

namespace {

const char LOCK_OWN_EXCLUSIVE[] = "自ファイルを排他ロックします。";
const char LOCK_OWN_SHARED[] = "自ファイルを共有ロックします。";
const char UNLOCK_OWN[] = "自ファイルをアンロックします。";
const char LOCK_PEER_EXCLUSIVE[] = "対向ファイルを排他ロックします。";
const char LOCK_PEER_SHARED[] = "対向ファイルを共有ロックします。";
const char UNLOCK_PEER[] = "対向ファイルをアンロックします。";

enum { SHARED = 0, EXCLUSIVE = 1 };
enum { NO_WAIT = 0, WAIT = 1 };

// Creates the event and the timer of a test; 0, or 1 after the error line.
int create_wait_objects(HandleGuard *event, HandleGuard *timer, CheckError *error) {
    event->handle = single_calls.create_event(NULL, FALSE, FALSE, NULL);
    if (event->handle == NULL) {
        set_check_error(error, 32);
        report_error(error);
        return 1;
    }
    timer->handle = single_calls.create_waitable_timer(NULL, FALSE, NULL);
    if (timer->handle == NULL) {
        set_check_error(error, 33);
        report_error(error);
        return 1;
    }
    return 0;
}

int32_t open_failure_code(int selector) { return selector == FOLDER_SHARED ? 4 : 5; }


// ---- solo part -------------------------------------------------------------------

struct Solo {
    const CheckContext *ctx;
    HANDLE file;
    HANDLE event;
    HANDLE timer;
    CheckError error;
};

int solo_lock(Solo *s, int exclusive, int wait) {
    return single_calls.lock_range_timed(s->ctx, s->file, s->event, s->timer, exclusive, wait, &s->error, 1);
}

int solo_unlock(Solo *s) { return single_calls.unlock_range_timed(s->ctx, s->file, s->event, s->timer, &s->error); }

// A solo step that takes a lock or releases it; its result joins *total.
void solo_step(Solo *s, const char *title, const char *line, int unlock, int exclusive, int wait, TestResult *total) {
    TestResult r = TEST_OK;
    ReportScope scope(title, &r);
    report_info(line);
    int rc = unlock ? solo_unlock(s) : solo_lock(s, exclusive, wait);
    if (rc != 0) r = TEST_NG;
    *total = combine_result(*total, r);
}

// *stop is set when the set-up or the release of step S1 failed: the lock test
// then ends with the returned NG without its paired part.
TestResult run_solo(CheckContext *ctx, int selector, const char *folder, bool *stop) {
    *stop = true;
    Solo s = {ctx, INVALID_HANDLE_VALUE, NULL, NULL, {0, 0}};
    // Closed after the frame's clean-up has closed the file: a request that
    // lock_range_timed left pending at a timeout ends before its event goes.
    HandleGuard event;
    HandleGuard timer;
    SlotFrame frame(0, nullptr);
    SingleSlot *slot = frame.slot();
    if (create_wait_objects(&event, &timer, &s.error) != 0) return TEST_NG;
    s.event = event.handle;
    s.timer = timer.handle;

    name_registered(slot->file_name, ctx->mode, folder, 0);
    report_named("ファイルをオープンします。(%s)", slot->file_name);
    if (open_registered(&slot->handle, slot->file_name, OPEN_ALWAYS) == INVALID_HANDLE_VALUE) {
        set_check_error(&s.error, open_failure_code(selector));
        report_error(&s.error);
        return TEST_NG;
    }
    s.file = slot->handle;
    *stop = false;

    TestResult total = TEST_OK;
    {
        TestResult r = TEST_OK;
        ReportScope scope("処理「排他ロックを待機しない設定で取得」", &r);
        report_info(LOCK_OWN_EXCLUSIVE);
        if (solo_lock(&s, EXCLUSIVE, NO_WAIT) == 0) {
            report_info(UNLOCK_OWN);
            if (solo_unlock(&s) != 0) {
                // The byte stays locked: the later steps would only measure that.
                r = TEST_NG;
                *stop = true;
                return TEST_NG;
            }
        } else {
            r = TEST_NG;
        }
        total = combine_result(total, r);
    }
    if (selector == FOLDER_SHARED) {
        solo_step(&s, "処理「共有ロックを待機する設定で取得」", LOCK_OWN_SHARED, 0, SHARED, WAIT, &total);
        solo_step(&s, "処理「共有ロックの開放」", UNLOCK_OWN, 1, 0, 0, &total);
    }
    solo_step(&s, "処理「排他ロックを待機する設定で取得」", LOCK_OWN_EXCLUSIVE, 0, EXCLUSIVE, WAIT, &total);
    solo_step(&s, "処理「排他ロックの開放」", UNLOCK_OWN, 1, 0, 0, &total);
    return total;
}

// ---- paired part -----------------------------------------------------------------

struct Party {
    const CheckContext *ctx;
    SyncSession *session;
    HANDLE own;
    HANDLE peer;
    HANDLE event_a;
    HANDLE event_b;
    HANDLE timer;
    LONGLONG due;
    CheckError error;
    bool request_outstanding;  // a waiting request went pending and was not seen to end
};

// How the sequence goes on after a line.
enum Flow { GO, FAIL, ABORT };

Flow meet(Party *p) {
    if (single_calls.sync_point(p->session) == 0) return GO;
    report_error(&p->error);  // nothing when it holds no code
    return ABORT;
}

int party_lock(Party *p, HANDLE file, int exclusive, int wait, int report_refusal) {
    return single_calls.lock_range_timed(p->ctx, file, p->event_a, p->timer, exclusive, wait, &p->error,
                                         report_refusal);
}

int party_unlock(Party *p, HANDLE file) {
    return single_calls.unlock_range_timed(p->ctx, file, p->event_a, p->timer, &p->error);
}

// A line outside the cases: a detail line and a lock or release that must
// succeed, then, when asked, a sync point.
Flow own_line(Party *p, const char *line, int unlock, int exclusive, bool then_meet) {
    report_info(line);
    int rc = unlock ? party_unlock(p, p->own) : party_lock(p, p->own, exclusive, WAIT, 1);
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
    if (party_lock(p, p->peer, EXCLUSIVE, NO_WAIT, 1) == 0) {
        report_info(UNLOCK_PEER);
        if (party_unlock(p, p->peer) != 0) return c.end(FAIL);
    } else {
        c.result = TEST_NG;
    }
    return c.end(meet(p));
}

// Cases 3 and 6: a non-waiting exclusive lock on the byte the other party holds
// must be refused.
Flow case_refused(Party *p, const char *title, int32_t granted_code, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope(title, &c.result);
    if (meet(p) != GO) return c.end(ABORT);
    report_info(LOCK_PEER_EXCLUSIVE);
    p->error = {0, 0};
    if (party_lock(p, p->peer, EXCLUSIVE, NO_WAIT, 0) != 0) {
        if (p->error.code != 0) {
            c.result = TEST_NG;  // not held, yet not refused: the call wrote why
        } else {
            set_check_error(&p->error, 15);
            report_error_info(&p->error);
        }
    } else {
        p->error.code = granted_code;
        p->error.os_error = 0;
        report_error(&p->error);
        c.result = TEST_NG;
    }
    return c.end(GO);
}

// Judges a waiting request on the peer file started with lock_range: granted at
// once, or granted within the timeout.
TestResult judge_request(Party *p, int started, DWORD start_error, OVERLAPPED *ov, int32_t code) {
    if (started == 0) return TEST_OK;
    if (started == -1) {
        SetLastError(start_error);
        set_check_error(&p->error, code);
        report_error(&p->error);
        return TEST_NG;
    }
    p->request_outstanding = true;
    int r = single_calls.wait_overlapped_timed(p->peer, ov, p->timer, p->due);
    if (r != -3) p->request_outstanding = false;
    if (r == 0) return TEST_OK;
    if (r == -3) {
        p->error.code = 22;
        p->error.os_error = 0;
    } else {
        set_check_error(&p->error, code);
    }
    report_error(&p->error);
    return TEST_NG;
}

// Cases 5, 7 and 8: a waiting request on the peer file that the other party's
// release must let through. ov is the request's own record, never reused; its
// block outlives the closing of the peer file's handle, and is kept for good
// when a request may still be outstanding.
struct WaitCase {
    const char *title;
    int exclusive;
    const char *judge_line;
    int32_t code;
    bool meet_before;       // a sync point before the request
    bool relock_own;        // take the own file exclusively again at the end
    bool meet_after_relock; // and meet once more
};

Flow case_waiting(Party *p, const WaitCase *w, OVERLAPPED *ov, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope(w->title, &c.result);
    if (w->meet_before && meet(p) != GO) return c.end(ABORT);
    memset(ov, 0, sizeof *ov);
    ov->hEvent = p->event_b;
    int started = single_calls.lock_range(p->peer, w->exclusive, ov);
    DWORD start_error = GetLastError();
    if (started == -2) p->request_outstanding = true;
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
        Flow f = own_line(p, LOCK_OWN_EXCLUSIVE, 0, EXCLUSIVE, w->meet_after_relock);
        if (f != GO) return c.end(f);
    }
    return c.end(GO);
}

const WaitCase CASE5 = {"処理「共有ロック領域へ排他ロックを待機する設定で取得」", EXCLUSIVE, LOCK_PEER_EXCLUSIVE, 13,
                        true, true, false};
const WaitCase CASE7 = {"処理「排他ロック領域へ共有ロックを待機する設定で取得」", SHARED, LOCK_PEER_SHARED, 14,
                        true, true, true};
const WaitCase CASE8 = {"処理「排他ロック領域へ排他ロックを待機する設定で取得」", EXCLUSIVE, LOCK_PEER_EXCLUSIVE, 13,
                        false, false, false};

// Case 4: a waiting shared lock on the byte the other party holds shared is granted.
Flow case_shared_on_shared(Party *p, TestResult *total) {
    Case c = {TEST_OK, total};
    ReportScope scope("処理「共有ロック領域へ共有ロックを待機する設定で取得」", &c.result);
    if (meet(p) != GO) return c.end(ABORT);
    report_info(LOCK_PEER_SHARED);
    if (party_lock(p, p->peer, SHARED, WAIT, 1) == 0) {
        report_info(UNLOCK_PEER);
        if (party_unlock(p, p->peer) != 0) return c.end(FAIL);
    } else {
        c.result = TEST_NG;
    }
    return c.end(GO);
}

// The sequence both parties run; returns GO, FAIL or ABORT, with the cases'
// results joined in *total.
Flow run_sequence(Party *p, int selector, OVERLAPPED requests[3], TestResult *total) {
    const bool shared_path = selector == FOLDER_SHARED;
    Flow f = meet(p);
    if (f != GO) return f;
    if (shared_path) {
        if ((f = own_line(p, LOCK_OWN_SHARED, 0, SHARED, true)) != GO) return f;
        if ((f = own_line(p, UNLOCK_OWN, 1, 0, true)) != GO) return f;
        f = case_released(p, "処理「共有ロック開放領域へ排他ロックを待機しない設定で取得」", total);
        if (f != GO) return f;
    }
    if ((f = own_line(p, LOCK_OWN_EXCLUSIVE, 0, EXCLUSIVE, true)) != GO) return f;
    if ((f = own_line(p, UNLOCK_OWN, 1, 0, true)) != GO) return f;
    f = case_released(p, "処理「排他ロック開放領域へ排他ロックを待機しない設定で取得」", total);
    if (f != GO) return f;
    // The own byte for the cases that follow: shared for the shared-settings
    // path, exclusive for the target path.
    if (shared_path) {
        if ((f = own_line(p, LOCK_OWN_SHARED, 0, SHARED, false)) != GO) return f;
        f = case_refused(p, "処理「共有ロック領域へ排他ロックを待機しない設定で取得」", 18, total);
        if (f != GO) return f;
        if ((f = case_shared_on_shared(p, total)) != GO) return f;
        if ((f = case_waiting(p, &CASE5, &requests[0], total)) != GO) return f;
    } else {
        if ((f = own_line(p, LOCK_OWN_EXCLUSIVE, 0, EXCLUSIVE, false)) != GO) return f;
    }
    f = case_refused(p, "処理「排他ロック領域へ排他ロックを待機しない設定で取得」", 19, total);
    if (f != GO) return f;
    if (shared_path && (f = case_waiting(p, &CASE7, &requests[1], total)) != GO) return f;
    return case_waiting(p, &CASE8, &requests[2], total);
}

struct PartnerArgs {
    CheckContext *ctx;
    int selector;
};

// Read by the partner thread as it starts; one lock test runs at a time.
PartnerArgs partner_args;

// A partner thread that outlived the main thread's wait for it, or NULL.
HANDLE partner_straggler = NULL;

DWORD WINAPI partner_thread_main(LPVOID arg) {
    PartnerArgs args = *(const PartnerArgs *)arg;
    return (DWORD)paired_lock_test(args.ctx, args.selector);
}

}  // namespace

TestResult paired_lock_test(CheckContext *ctx, int selector) {
    const char *folder = selected_folder(ctx, selector);
    if (folder == nullptr) return TEST_NG;
    // The waiting requests' records: retired after the frame below, whose clean-up
    // closes the handles that a request still outstanding was made on.
    OVERLAPPED *requests = (OVERLAPPED *)calloc(3, sizeof(OVERLAPPED));
    bool outstanding = false;
    ScopeExit retire([&] { retire_io_block(requests, outstanding); });

    report_info("同期処理の初期化をします。");
    SyncSession *session = single_calls.sync_open(1, ctx->kavsharepath, ctx->timeout);
    if (session == nullptr) {
        report_info("同期処理の初期化に失敗しました。");
        return TEST_ABORTED;
    }
    const int role = (int)session->role;
    Party p = {ctx, session, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, NULL, NULL, NULL,
               timeout_due_time(ctx->timeout), {0, 0}, false};
    // Declared before the frame, so closed after its clean-up has closed the files:
    // a request still outstanding then ends before its event goes.
    HandleGuard event_a;
    HandleGuard event_b;
    HandleGuard timer;
    SlotFrame frame(role, session);
    SingleSlot *slot = frame.slot();
    event_a.handle = single_calls.create_event(NULL, FALSE, FALSE, NULL);
    if (event_a.handle != NULL) event_b.handle = single_calls.create_event(NULL, FALSE, FALSE, NULL);
    if (event_a.handle == NULL || event_b.handle == NULL) {
        set_check_error(&p.error, 32);
        report_error(&p.error);
        return TEST_NG;
    }
    timer.handle = single_calls.create_waitable_timer(NULL, FALSE, NULL);
    if (timer.handle == NULL) {
        set_check_error(&p.error, 33);
        report_error(&p.error);
        return TEST_NG;
    }
    p.event_a = event_a.handle;
    p.event_b = event_b.handle;
    p.timer = timer.handle;

    name_registered(slot->file_name, ctx->mode, folder, role);
    report_named("自プロセスのファイルをオープンします。(%s)", slot->file_name);
    if (open_registered(&slot->handle, slot->file_name, OPEN_ALWAYS) == INVALID_HANDLE_VALUE) {
        set_check_error(&p.error, open_failure_code(selector));
        report_error(&p.error);
        return TEST_NG;
    }
    char *peer_name = slot_peer_name(role);
    name_registered(peer_name, ctx->mode, folder, role ^ 1);
    report_named("対向プロセスのファイルをオープンします。(%s)", peer_name);
    if (open_registered(&slot->handle2, peer_name, OPEN_ALWAYS) == INVALID_HANDLE_VALUE) {
        set_check_error(&p.error, open_failure_code(selector));
        report_error(&p.error);
        return TEST_NG;
    }
    p.own = slot->handle;
    p.peer = slot->handle2;

    if (requests == nullptr) {
        set_check_error(&p.error, 20);
        report_error(&p.error);
        return TEST_NG;
    }
    TestResult total = TEST_OK;
    Flow f = run_sequence(&p, selector, requests, &total);
    outstanding = p.request_outstanding;
    if (f == ABORT) return TEST_ABORTED;
    if (f == FAIL) return TEST_NG;
    return total;
}

void wait_for_partner_straggler(int32_t timeout_sec) {
    if (partner_straggler == NULL) return;
    // Its own waits are bounded by the timeout and its clean-up by another one.
    WaitForSingleObject(partner_straggler, (DWORD)timeout_sec * 2000u);
    CloseHandle(partner_straggler);
    partner_straggler = NULL;
}

TestResult lock_test(CheckContext *ctx, int selector) {
    const char *folder = selected_folder(ctx, selector);
    if (folder == nullptr) return TEST_NG;
    // Two partners at once would meet on the same rendezvous file.
    wait_for_partner_straggler(ctx->timeout);
    bool stop = false;
    TestResult solo = run_solo(ctx, selector, folder, &stop);
    if (stop) return TEST_NG;

    partner_args.ctx = ctx;
    partner_args.selector = selector;
    HandleGuard thread;
    thread.handle = single_calls.create_thread(NULL, 0, partner_thread_main, &partner_args, 0, NULL);
    if (thread.handle == NULL) {
        report_info("テスト対向スレッドの作成に失敗しました。");
        return TEST_NG;
    }
    TestResult paired = paired_lock_test(ctx, selector);
    const DWORD waited = single_calls.wait_for_single_object(thread.handle, (DWORD)ctx->timeout * 1000u);
    if (waited != WAIT_OBJECT_0) {
        // Still running (or not known to have ended): its files are deleted only by
        // its own clean-up, so it is kept to be waited for before the check ends.
        partner_straggler = thread.handle;
        thread.handle = NULL;
        if (waited == WAIT_TIMEOUT) return TEST_ABORTED;
    }
    return paired != TEST_OK ? paired : solo;
}
