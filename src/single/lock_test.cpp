// The lock test of mode single: solo steps on one work file, then the two-party
// sequence that the main thread and the partner thread run on each other's files.
#include "single/frame.h"
#include "single/lock_pair.h"

namespace {

// ---- solo part -------------------------------------------------------------------

struct Solo {
    const CheckContext *ctx;
    HANDLE file;
    HANDLE event;
    HANDLE timer;
    CheckError error;
};

int solo_lock(Solo *s, int exclusive, int wait) {
    return sys_calls.lock_range_timed(s->ctx, s->file, s->event, s->timer, exclusive, wait, &s->error,
                                         REFUSAL_REPORTED);
}

int solo_unlock(Solo *s) { return sys_calls.unlock_range_timed(s->ctx, s->file, s->event, s->timer, &s->error); }

// A solo step that takes a lock or releases it; its result joins *total.
void solo_step(Solo *s, const char *title, const char *line, bool unlock, int exclusive, int wait, TestResult *total) {
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
    SlotFrame frame(0, nullptr);
    SingleSlot *slot = frame.slot();
    if (create_test_objects(&frame.objects, 1, &s.error) != 0) return TEST_NG;
    s.event = frame.objects.events[0];
    s.timer = frame.objects.timer;

    name_registered(slot->file_name, ctx->mode, folder, 0);
    report_infof(FILE_OPENING, slot->file_name);
    if (open_registered(&slot->handle, slot->file_name, OPEN_ALWAYS) == INVALID_HANDLE_VALUE) {
        report_check_error(&s.error, open_failure_code(selector));
        return TEST_NG;
    }
    s.file = slot->handle;
    *stop = false;

    TestResult total = TEST_OK;
    {
        TestResult r = TEST_OK;
        ReportScope scope("処理「排他ロックを待機しない設定で取得」", &r);
        report_info(LOCK_OWN_EXCLUSIVE);
        if (solo_lock(&s, LOCK_EXCLUSIVE, LOCK_NO_WAIT) == 0) {
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
        solo_step(&s, "処理「共有ロックを待機する設定で取得」", LOCK_OWN_SHARED, false, LOCK_SHARED, LOCK_WAIT, &total);
        solo_step(&s, "処理「共有ロックの開放」", UNLOCK_OWN, true, LOCK_SHARED, LOCK_WAIT, &total);
    }
    solo_step(&s, "処理「排他ロックを待機する設定で取得」", LOCK_OWN_EXCLUSIVE, false, LOCK_EXCLUSIVE, LOCK_WAIT, &total);
    solo_step(&s, "処理「排他ロックの開放」", UNLOCK_OWN, true, LOCK_SHARED, LOCK_WAIT, &total);
    return total;
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

// The paired part's party registers in the slot of its role, and its peer file's
// name beside it, so that the other thread's handler can delete that file too.
LockPairFiles slot_files(int role) {
    SingleSlot *slot = &single_slots[role];
    return {slot->file_name, slot_peer_name(role), &slot->handle, &slot->handle2};
}

HANDLE open_work_file(HANDLE *registered, const char *name) { return open_registered(registered, name, OPEN_ALWAYS); }

const LockPairMode PAIRED_MODE = {MODE_SINGLE, 0, TEST_NG, slot_claim, slot_release, slot_files, name_registered,
                                  open_work_file};

}  // namespace

TestResult paired_lock_test(CheckContext *ctx, int selector) { return lock_pair_test(ctx, selector, &PAIRED_MODE); }

void wait_for_partner_straggler(int32_t timeout_sec) {
    if (partner_straggler == NULL) return;
    // Its own waits are bounded by the timeout and its clean-up by another one. A
    // wait that fails cannot tell its end; its exit code can, polled as long.
    const DWORD bound_ms = (DWORD)timeout_sec * 2000u;
    if (sys_calls.wait_for_single_object(partner_straggler, bound_ms) == WAIT_FAILED) {
        DWORD code = STILL_ACTIVE;
        for (DWORD waited = 0; waited < bound_ms && code == STILL_ACTIVE; waited += 10) {
            if (!sys_calls.get_exit_code_thread(partner_straggler, &code)) break;
            if (code == STILL_ACTIVE) Sleep(10);
        }
    }
    sys_calls.close_handle(partner_straggler);
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
    thread.handle = sys_calls.create_thread(NULL, 0, partner_thread_main, &partner_args, 0, NULL);
    if (thread.handle == NULL) {
        report_info("テスト対向スレッドの作成に失敗しました。");
        return TEST_NG;
    }
    TestResult paired = paired_lock_test(ctx, selector);
    const DWORD waited = sys_calls.wait_for_single_object(thread.handle, (DWORD)ctx->timeout * 1000u);
    if (waited != WAIT_OBJECT_0) {
        // Still running (or not known to have ended): its files are deleted only by
        // its own clean-up, so it is kept to be waited for before the check ends.
        partner_straggler = thread.handle;
        thread.handle = NULL;
        if (waited == WAIT_TIMEOUT) return TEST_ABORTED;
    }
    return paired != TEST_OK ? paired : solo;
}
