// Mode single: the driver, the cleanup registry with its console control
// handler, and the open test.
#include "base/cleanup_lock.h"
#include "fsprim/io_records.h"
#include "single/frame.h"
#include "sync/sync.h"

SingleSlot single_slots[2] = {
    {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, {0}, nullptr},
    {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, {0}, nullptr},
};
uint32_t handler_slot = 0;

// Set by the console control handler under the cleanup lock: the process is
// ending and the registry has been released.
static int single_stopping = 0;

static char single_peer_names[2][sizeof single_slots[0].file_name];

char *slot_peer_name(int slot) { return single_peer_names[slot]; }

int name_registered(char *registered, int kind, const char *folder, int32_t number) {
    char name[sizeof single_slots[0].file_name];
    memset(name, 0, sizeof name);
    int r = sys_calls.make_work_file_name(kind, folder, number, name);
    CleanupLockHeld held;
    memcpy(registered, name, sizeof name);
    return r;
}

void slot_claim(int slot, SyncSession *session) {
    SingleSlot *s = &single_slots[slot];
    // The handler of a test already running on the other thread reads the
    // registry under the lock.
    {
        CleanupLockHeld held;
        s->handle = INVALID_HANDLE_VALUE;
        s->handle2 = INVALID_HANDLE_VALUE;
        memset(s->file_name, 0, sizeof s->file_name);
        memset(single_peer_names[slot], 0, sizeof single_peer_names[slot]);
        s->session = session;
    }
    SetConsoleCtrlHandler(single_ctrl_handler, TRUE);
}

void slot_release(int slot) {
    single_slot_cleanup(slot);
    SetConsoleCtrlHandler(single_ctrl_handler, FALSE);
}

HandleGuard::~HandleGuard() {
    if (handle != NULL) sys_calls.close_handle(handle);
}

HANDLE open_registered(HANDLE *registered, const char *name, DWORD disposition) {
    CleanupLockHeld held;
    if (single_stopping) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return INVALID_HANDLE_VALUE;
    }
    *registered = sys_calls.open_share_file(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            disposition);
    return *registered;
}

TestFrame::~TestFrame() {
    TestObjects *o = &objects;
    bool kept = false;
    for (auto &p : o->pending)
        if (p.ov != nullptr && io_withdraw(p.file, p.ov) == -1) kept = true;
    release_(slot_);
    const HANDLE objects_to_close[3] = {o->timer, o->events[1], o->events[0]};
    for (HANDLE h : objects_to_close)
        if (h != NULL) sys_calls.close_handle(h);
    io_block_retire(o->block, kept);
}

int create_test_objects(TestObjects *objects, int events, CheckError *error) {
    for (int i = 0; i < events; ++i) {
        objects->events[i] = sys_calls.create_event(NULL, FALSE, FALSE, NULL);
        if (objects->events[i] == NULL) {
            report_check_error(error, CHECK_EVENT_FAILED);
            return 1;
        }
    }
    objects->timer = sys_calls.create_waitable_timer(NULL, FALSE, NULL);
    if (objects->timer == NULL) {
        report_check_error(error, CHECK_TIMER_FAILED);
        return 1;
    }
    return 0;
}

const char *selected_folder(const CheckContext *ctx, int selector) {
    if (selector == FOLDER_SHARED) return ctx->kavsharepath;
    if (selector == FOLDER_TARGET) return ctx->targetpath;
    return nullptr;
}

// Unlocks byte 0 through a registered handle and closes it; a handle whose close
// fails stays registered for a later try.
// Under the lock, so that the handler never closes the same handle again.
static void release_slot_handle(HANDLE *handle) {
    CleanupLockHeld held;
    if (*handle == INVALID_HANDLE_VALUE) return;
    OVERLAPPED ov = {};
    sys_calls.unlock_file_ex(*handle, 0, 1, 0, &ov);
    if (sys_calls.close_handle(*handle)) *handle = INVALID_HANDLE_VALUE;
}

int close_registered(HANDLE *registered) {
    CleanupLockHeld held;
    return *registered == INVALID_HANDLE_VALUE ? 0 : sys_calls.close_handle_reset(registered);
}

int single_slot_cleanup(int slot) {
    if (slot < 0 || slot > 1) return 0;
    SingleSlot *s = &single_slots[slot];
    release_slot_handle(&s->handle);
    release_slot_handle(&s->handle2);
    if (s->session != nullptr) {
        sync_close(s->session);
        CleanupLockHeld held;
        s->session = nullptr;
    }
    // Both slots: the other party's file is deleted here when it has not been
    // yet, by the slot's name or, when that party never registered it, by this
    // party's name for it. The names are taken under the lock, which the handler
    // and the other party's clean-up hold too; the lines are written outside it.
    char *names[4] = {single_slots[0].file_name, single_slots[1].file_name, single_peer_names[0],
                      single_peer_names[1]};
    for (char *name : names) {
        char deleted[sizeof single_slots[0].file_name];
        deleted[0] = '\0';
        EnterCriticalSection(&g_cleanup_lock);
        if (name[0] != '\0' && sys_calls.delete_file(name)) memcpy(deleted, name, sizeof deleted);
        // This party's peer name is only a fallback: dropped whether its delete
        // succeeded or not. The other party's is kept: that party may still hold the
        // file open, and only its own clean-up, after its close, can delete it.
        if (deleted[0] != '\0' || name == single_peer_names[slot]) memset(name, 0, sizeof deleted);
        LeaveCriticalSection(&g_cleanup_lock);
        if (deleted[0] != '\0') report_infof(FILE_DELETED, deleted);
    }
    return 0;
}

// Releases everything a slot holds, on the handler's thread.
static void handler_release_slot(SingleSlot *s) {
    HANDLE *handles[2] = {&s->handle, &s->handle2};
    for (HANDLE *h : handles) {
        if (*h == INVALID_HANDLE_VALUE) continue;
        sys_calls.unlock_range(*h);
        if (*h != INVALID_HANDLE_VALUE) sys_calls.close_handle_reset(h);
    }
    if (s->session != nullptr) {
        sync_release(s->session, SESSION_DELETE_FILES);
        s->session = nullptr;
    }
}

BOOL WINAPI single_ctrl_handler(DWORD) {
    if (!enter_cleanup_lock_in_handler()) return FALSE;
    ScopeExit leave([] { leave_cleanup_lock_in_handler(); });
    if (handler_slot >= 2) return FALSE;
    single_stopping = 1;
    // Slot handler_slot first, then the other one too: a party whose own
    // installation has not been added yet, or has already been removed, would
    // otherwise keep its files and rendezvous files when the process ends.
    handler_release_slot(&single_slots[handler_slot]);
    handler_release_slot(&single_slots[handler_slot ^ 1]);
    char *names[4] = {single_slots[0].file_name, single_slots[1].file_name, single_peer_names[0],
                      single_peer_names[1]};
    for (char *name : names) {
        if (name[0] != '\0' && sys_calls.delete_work_file(name) == 0) {
            report_infof(FILE_DELETED, name);
            memset(name, 0, sizeof single_peer_names[0]);
        }
    }
    ++handler_slot;
    return FALSE;
}

// One case of the open test: open the work file with a disposition, judge the
// outcome, close what was opened. Returns the case result.
enum OpenExpect { EXPECT_SUCCESS, EXPECT_FAILURE };

struct OpenCase {
    const char *title;
    DWORD disposition;
    OpenExpect expect;
    DWORD expected_error;   // EXPECT_FAILURE: the error that shows the right behaviour
    CheckCode failure_code;  // the check error of a wrong outcome
};

static TestResult run_open_case(const OpenCase *c, SingleSlot *slot, CheckError *error) {
    TestResult result = TEST_OK;
    ReportScope scope(c->title, &result);
    report_infof(FILE_OPENING, slot->file_name);
    if (open_registered(&slot->handle, slot->file_name, c->disposition) == INVALID_HANDLE_VALUE) {
        if (c->expect == EXPECT_FAILURE) {
            DWORD os_error = GetLastError();
            set_check_error(error, CHECK_TARGET_OPEN_ERROR);
            if (os_error == c->expected_error) {
                report_error_info(error);
            } else {
                report_error(error);
                result = TEST_NG;
            }
        } else {
            report_check_error(error, c->failure_code);
            result = TEST_NG;
        }
        return result;
    }
    if (c->expect == EXPECT_FAILURE) {
        report_check_error(error, CHECK_TARGET_OPENED, 0);
        result = TEST_NG;
    }
    close_registered(&slot->handle);
    return result;
}

TestResult open_test(CheckContext *ctx, int selector) {
    const char *folder = selected_folder(ctx, selector);
    if (folder == nullptr) return TEST_NG;
    CheckError error = {0, 0};
    TestResult result = TEST_OK;

    SlotFrame frame(0, nullptr);
    SingleSlot *slot = frame.slot();
    name_registered(slot->file_name, ctx->mode, folder, 0);

    const OpenCase case_a = {"処理「既存ファイルがない状態での既存ファイルのオープン」", OPEN_EXISTING, EXPECT_FAILURE,
                             ERROR_FILE_NOT_FOUND, CHECK_TARGET_OPEN_ERROR};
    const OpenCase case_b = {"処理「既存ファイルがない状態での新規ファイルのオープン」", CREATE_NEW, EXPECT_SUCCESS, 0,
                             open_failure_code(selector)};
    const OpenCase case_c = {"処理「既存ファイルがある状態での新規ファイルのオープン」", CREATE_NEW, EXPECT_FAILURE,
                             ERROR_FILE_EXISTS, CHECK_TARGET_OPEN_ERROR};
    const OpenCase case_d = {"処理「既存ファイルがある状態での既存ファイルのオープン」", OPEN_EXISTING, EXPECT_SUCCESS, 0,
                             CHECK_TARGET_NOT_OPENED};

    if (selector == FOLDER_TARGET) result = combine_result(result, run_open_case(&case_a, slot, &error));
    TestResult b = run_open_case(&case_b, slot, &error);
    result = combine_result(result, b);
    // Without the file of case B the other cases test nothing.
    if (b != TEST_OK || selector != FOLDER_TARGET) return result;
    result = combine_result(result, run_open_case(&case_c, slot, &error));
    result = combine_result(result, run_open_case(&case_d, slot, &error));
    return result;
}

// Runs one test between the begin and end lines of its category.
const char CATEGORY_OPEN[] = "処理種別「ファイルオープン処理」";
const char CATEGORY_READ_WRITE[] = "処理種別「ファイル読み書き処理」";
const char CATEGORY_LOCK[] = "処理種別「バイト範囲のロック処理」";
const char CATEGORY_DELETE[] = "処理種別「ファイル削除処理」";

static TestResult run_category(const TestCategory *category, CheckContext *ctx, int selector) {
    TestResult result = TEST_OK;
    ReportScope scope(category->title, &result);
    result = category->test(ctx, selector);
    return result;
}

TestResult run_target_group(CheckContext *ctx, int selector, const TestCategory *categories, int count) {
    TestResult group = TEST_OK;
    ReportScope scope(selector == FOLDER_SHARED ? "確認対象「KAVRO間共有環境設定パスに対するテスト」"
                                                : "確認対象「確認対象パスに対するテスト」",
                      &group);
    for (int i = 0; i < count && group != TEST_ABORTED; ++i)
        group = combine_result(group, run_category(&categories[i], ctx, selector));
    return group;
}

TestResult single_check(CheckContext *ctx) {
    TestResult overall = TEST_OK;
    ReportScope operation("動作「単一環境確認」", &overall);
    ScopeExit straggler([ctx] { wait_for_partner_straggler(ctx->timeout); });

    static const TestCategory shared_path[] = {{CATEGORY_OPEN, open_test}, {CATEGORY_LOCK, lock_test}};
    static const TestCategory target_path[] = {{CATEGORY_OPEN, open_test},
                                               {CATEGORY_READ_WRITE, read_write_test},
                                               {CATEGORY_LOCK, lock_test},
                                               {CATEGORY_DELETE, delete_test}};
    overall = run_target_group(ctx, FOLDER_SHARED, shared_path, 2);
    if (overall != TEST_ABORTED)
        overall = combine_result(overall, run_target_group(ctx, FOLDER_TARGET, target_path, 4));
    return overall;
}
