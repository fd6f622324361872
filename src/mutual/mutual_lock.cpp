// Cross-process lock test: each process locks its own work file and tries locks on
// the other's, the two kept in step sync point for sync point.
#include "fsprim/fsprim.h"
#include "mutual/mutual.h"
#include "mutual/scope.h"
#include "sync/sync.h"

namespace {

// Step outcomes inside the sequence: go on, end the test with NG (a lock or
// release that had to succeed failed), end it as aborted (a sync point failed).
enum { GO_ON = 0, STOP_NG = 1, STOP_ABORTED = -1 };

struct LockRun {
    CheckContext *ctx;
    int selector;
    SyncSession *session;
    HANDLE event_a;  // every timed lock and unlock
    HANDLE event_b;  // the waiting request
    HANDLE timer;
    LONGLONG due_time;
    CheckError error;
    TestResult result;  // NG as soon as one case is NG
    // The waiting request of cases 5, 7 and 8, and what lock_range answered.
    OVERLAPPED *request;
    int request_answer;
    DWORD request_error;
    int request_outstanding;  // a judged request that was still pending at the timeout
};

HANDLE own_file() { return mutual_registry.own_handle; }
HANDLE peer_file() { return mutual_registry.peer_handle; }

int meet(LockRun *run) {
    if (sync_point(run->session) == 0) return GO_ON;
    // Whatever the last step left in the record (nothing after a success).
    report_error(&run->error);
    return STOP_ABORTED;
}

int lock_own(LockRun *run, int exclusive) {
    report_info(exclusive ? "自ファイルを排他ロックします。" : "自ファイルを共有ロックします。");
    if (lock_range_timed(run->ctx, own_file(), run->event_a, run->timer, exclusive, 1, &run->error, 1) != 0)
        return STOP_NG;
    return GO_ON;
}

int unlock_own(LockRun *run) {
    report_info("自ファイルをアンロックします。");
    return unlock_range_timed(run->ctx, own_file(), run->event_a, run->timer, &run->error) == 0 ? GO_ON : STOP_NG;
}

int unlock_peer(LockRun *run) {
    report_info("対向ファイルをアンロックします。");
    return unlock_range_timed(run->ctx, peer_file(), run->event_a, run->timer, &run->error) == 0 ? GO_ON : STOP_NG;
}

// A case left because its own lock or release failed is NG; one left at a failed
// sync point keeps the result it had.
int finish_case(LockRun *run, ReportStep *step, int status) {
    if (status == STOP_NG) step->result = TEST_NG;
    if (step->result != TEST_OK) run->result = TEST_NG;
    return status;
}

// Cases 1 and 2: a non-waiting exclusive lock on a byte the other process has just released.
int case_released(LockRun *run, const char *title) {
    ReportStep step(title);
    report_info("対向ファイルを排他ロックします。");
    if (lock_range_timed(run->ctx, peer_file(), run->event_a, run->timer, 1, 0, &run->error, 1) == 0) {
        if (unlock_peer(run) != GO_ON) return finish_case(run, &step, STOP_NG);
    } else {
        step.result = TEST_NG;
    }
    return finish_case(run, &step, meet(run));
}

// Cases 3 and 6: a non-waiting exclusive lock on a byte the other process holds must be refused.
int case_refused(LockRun *run, const char *title, int granted_code) {
    ReportStep step(title);
    int status = meet(run);
    if (status != GO_ON) return finish_case(run, &step, status);
    report_info("対向ファイルを排他ロックします。");
    run->error = {0, 0};
    if (lock_range_timed(run->ctx, peer_file(), run->event_a, run->timer, 1, 0, &run->error, 0) != 0) {
        if (run->error.code != 0) {
            step.result = TEST_NG;  // not held, yet not refused: the call wrote why
        } else {
            set_check_error(&run->error, 15);
            report_error_info(&run->error);
        }
    } else {
        run->error.code = granted_code;
        run->error.os_error = 0;
        report_error(&run->error);
        step.result = TEST_NG;
    }
    return finish_case(run, &step, GO_ON);
}

// Case 4: a waiting shared lock on a byte the other process holds shared.
int case_shared_on_shared(LockRun *run) {
    ReportStep step("処理「共有ロック領域へ共有ロックを待機する設定で取得」");
    int status = meet(run);
    if (status != GO_ON) return finish_case(run, &step, status);
    report_info("対向ファイルを共有ロックします。");
    if (lock_range_timed(run->ctx, peer_file(), run->event_a, run->timer, 0, 1, &run->error, 1) == 0) {
        if (unlock_peer(run) != GO_ON) return finish_case(run, &step, STOP_NG);
    } else {
        step.result = TEST_NG;
    }
    return finish_case(run, &step, GO_ON);
}

void start_request(LockRun *run, int exclusive) {
    memset(run->request, 0, sizeof *run->request);
    run->request->hEvent = run->event_b;
    run->request_error = 0;
    run->request_answer = lock_range(peer_file(), exclusive, run->request);
    // The judgement comes after a sync point and an unlock; keep the refusal's error.
    if (run->request_answer == -1) run->request_error = GetLastError();
}

// Judges the waiting request started by start_request; returns the case result.
TestResult judge_request(LockRun *run, int code) {
    if (run->request_answer == 0) return TEST_OK;
    if (run->request_answer == -1) {
        SetLastError(run->request_error);
        set_check_error(&run->error, code);
        report_error(&run->error);
        return TEST_NG;
    }
    int waited = wait_overlapped_timed(peer_file(), run->request, run->timer, run->due_time);
    if (waited == 0) return TEST_OK;
    if (waited == -3) {
        run->request_outstanding = 1;
        run->error.code = 22;
        run->error.os_error = 0;
    } else {
        set_check_error(&run->error, code);
    }
    report_error(&run->error);
    return TEST_NG;
}

// Cases 5, 7 and 8: a waiting request on the byte the other process holds, granted
// when that process releases it.
int case_waiting(LockRun *run, const char *title, int exclusive, int relock_own, int closing_meet) {
    ReportStep step(title);
    int status = meet(run);
    if (status == GO_ON) status = meet(run);
    if (status != GO_ON) return finish_case(run, &step, status);
    start_request(run, exclusive);
    if ((status = meet(run)) != GO_ON) return finish_case(run, &step, status);
    if ((status = unlock_own(run)) != GO_ON) return finish_case(run, &step, status);
    report_info(exclusive ? "対向ファイルを排他ロックします。" : "対向ファイルを共有ロックします。");
    if (judge_request(run, exclusive ? 13 : 14) != TEST_OK) step.result = TEST_NG;
    if ((status = meet(run)) != GO_ON) return finish_case(run, &step, status);
    if ((status = unlock_peer(run)) != GO_ON) return finish_case(run, &step, status);
    if ((status = meet(run)) != GO_ON) return finish_case(run, &step, status);
    if (relock_own && (status = lock_own(run, 1)) != GO_ON) return finish_case(run, &step, status);
    if (closing_meet && (status = meet(run)) != GO_ON) return finish_case(run, &step, status);
    return finish_case(run, &step, GO_ON);
}

int lock_sequence(LockRun *run) {
    const bool shared_path = run->selector == FOLDER_SHARED;
    int status;
    if ((status = meet(run)) != GO_ON) return status;
    if (shared_path) {
        if ((status = lock_own(run, 0)) != GO_ON || (status = meet(run)) != GO_ON) return status;
        if ((status = unlock_own(run)) != GO_ON || (status = meet(run)) != GO_ON) return status;
        status = case_released(run, "処理「共有ロック開放領域へ排他ロックを待機しない設定で取得」");
        if (status != GO_ON) return status;
    }
    if ((status = lock_own(run, 1)) != GO_ON || (status = meet(run)) != GO_ON) return status;
    if ((status = unlock_own(run)) != GO_ON || (status = meet(run)) != GO_ON) return status;
    status = case_released(run, "処理「排他ロック開放領域へ排他ロックを待機しない設定で取得」");
    if (status != GO_ON) return status;
    if ((status = lock_own(run, shared_path ? 0 : 1)) != GO_ON) return status;
    if (shared_path) {
        status = case_refused(run, "処理「共有ロック領域へ排他ロックを待機しない設定で取得」", 18);
        if (status != GO_ON) return status;
        if ((status = case_shared_on_shared(run)) != GO_ON) return status;
        status = case_waiting(run, "処理「共有ロック領域へ排他ロックを待機する設定で取得」", 1, 1, 0);
        if (status != GO_ON) return status;
    }
    status = case_refused(run, "処理「排他ロック領域へ排他ロックを待機しない設定で取得」", 19);
    if (status != GO_ON) return status;
    if (shared_path) {
        status = case_waiting(run, "処理「排他ロック領域へ共有ロックを待機する設定で取得」", 0, 1, 1);
        if (status != GO_ON) return status;
    }
    return case_waiting(run, "処理「排他ロック領域へ排他ロックを待機する設定で取得」", 1, 0, 0);
}

// The waiting request may still be queued when the test ends (a timed-out
// judgement): its record must outlive the test until the closing of the peer
// handle has ended it, so it lives for the whole process.
OVERLAPPED g_request;

// Withdraws a request that was left pending and waits a little for its end, so
// that the record is quiet before the next test rewrites it.
void withdraw_request(LockRun *run) {
    if (!run->request_outstanding || peer_file() == INVALID_HANDLE_VALUE) return;
    CancelIoEx(peer_file(), run->request);
    DWORD moved = 0;
    for (int i = 0; i < 20; i++) {
        if (GetOverlappedResult(peer_file(), run->request, &moved, FALSE)) break;
        if (GetLastError() != ERROR_IO_INCOMPLETE) break;
        Sleep(100);
    }
}

}  // namespace

TestResult mutual_lock_test(CheckContext *ctx, int selector) {
    if (selector != FOLDER_SHARED && selector != FOLDER_TARGET) return TEST_ABORTED;
    const char *folder = selector == FOLDER_SHARED ? ctx->kavsharepath : ctx->targetpath;

    report_info("同期処理の初期化をします。");
    SyncSession *session = sync_open(2, ctx->kavsharepath, ctx->timeout);
    if (session == nullptr) {
        report_info("同期処理の初期化に失敗しました。");
        return TEST_ABORTED;
    }
    const int32_t role = (int32_t)session->role;
    mutual_registry_begin(session);

    LockRun run;
    memset(&run, 0, sizeof run);
    run.ctx = ctx;
    run.selector = selector;
    run.session = session;
    run.request = &g_request;
    ScopeExit cleanup([&] {
        withdraw_request(&run);
        if (run.event_a != nullptr) CloseHandle(run.event_a);
        if (run.event_b != nullptr) CloseHandle(run.event_b);
        if (run.timer != nullptr) CloseHandle(run.timer);
        mutual_registry_end();
    });

    run.event_a = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (run.event_a != nullptr) run.event_b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (run.event_a == nullptr || run.event_b == nullptr) {
        set_check_error(&run.error, 32);
        report_error(&run.error);
        return TEST_NG;
    }
    run.timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (run.timer == nullptr) {
        set_check_error(&run.error, 33);
        report_error(&run.error);
        return TEST_NG;
    }
    run.due_time = timeout_due_time(ctx->timeout);

    MutualRegistry *reg = &mutual_registry;
    const int open_code = selector == FOLDER_SHARED ? 4 : 5;
    make_work_file_name(ctx->mode, folder, role, reg->own_name);
    report_infof("自プロセスのファイルをオープンします。(%s)", reg->own_name);
    reg->own_handle = open_share_file(reg->own_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      OPEN_ALWAYS);
    if (reg->own_handle == INVALID_HANDLE_VALUE) {
        set_check_error(&run.error, open_code);
        report_error(&run.error);
        return TEST_NG;
    }
    make_work_file_name(ctx->mode, folder, role ^ 1, reg->peer_name);
    report_infof("対向プロセスのファイルをオープンします。(%s)", reg->peer_name);
    reg->peer_handle = open_share_file(reg->peer_name, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    if (reg->peer_handle == INVALID_HANDLE_VALUE) {
        set_check_error(&run.error, open_code);
        report_error(&run.error);
        return TEST_NG;
    }

    int status = lock_sequence(&run);
    if (status == STOP_ABORTED) return TEST_ABORTED;
    if (status == STOP_NG) return TEST_NG;
    return run.result;
}
