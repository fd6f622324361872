#include "fault_walk.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/cleanup_lock.h"
#include "base/report.h"
#include "single/single.h"
#include "fsprim/calls.h"
#include "sync/sync.h"
#include "support/testsupport.h"

namespace soak {
namespace {

const char OPERATION[] = "動作「単一環境確認」";
const char BEGIN_HEAD[] = "テスト ";
const char BEGIN_TAIL[] = "を開始します。";
const char END_TAIL_OK[] = "が終了しました。 ... [ OK ]";
const char END_TAIL_NG[] = "が終了しました。 ... [ NG ]";
const char LOCK_KIND[] = "処理種別「バイト範囲のロック処理」";
// Failures that the tests report as detail lines of their own, not as check errors.
const char *const FAILURE_DETAILS[] = {
    "        テスト対向スレッドの作成に失敗しました。",
    "        同期処理の初期化に失敗しました。",
    "        イベントオブジェクトの生成に失敗しました。",
};

bool ends_with(const std::string &s, const char *tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::vector<std::string> split_lines(const std::string &all) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
        out.push_back(all.substr(start, end - start));
    if (start != all.size()) out.push_back(all.substr(start) + " <no CR LF>");
    return out;
}

std::vector<std::string> tool_files(const std::string &folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(folder, ec)) out.push_back(e.path().filename().string());
    return out;
}

// Ends the process when a run outlives its bound.
struct Watchdog {
    HANDLE done;
    HANDLE thread;
    DWORD limit_ms;

    static DWORD WINAPI watch(LPVOID p) {
        Watchdog *w = (Watchdog *)p;
        if (WaitForSingleObject(w->done, w->limit_ms) != WAIT_OBJECT_0) {
            fprintf(stderr, "soak: a run of single_check did not end within %lu ms\n", (unsigned long)w->limit_ms);
            fflush(stderr);
            abort();
        }
        return 0;
    }
    explicit Watchdog(DWORD ms) : limit_ms(ms) {
        done = CreateEventA(NULL, TRUE, FALSE, NULL);
        thread = CreateThread(NULL, 0, watch, this, 0, NULL);
    }
    ~Watchdog() {
        SetEvent(done);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(done);
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;
};

std::string current_log;

}  // namespace

const std::string &log_path() { return current_log; }

RunOutcome run_single_check(const std::function<void(CheckContext *)> &arm, int timeout_sec) {
    RunOutcome out;
    kavtest::TempDir shared, target, logdir;
    const std::string log = logdir.file("report.log");
    current_log = log;
    sync_install();  // as the entry does
    if (create_cleanup_lock() != 0 || open_report_log(log.c_str()) != 0) {
        out.problems.push_back("set-up of the report failed");
        return out;
    }
    CheckContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.mode = 1;
    snprintf(ctx.kavsharepath, sizeof ctx.kavsharepath, "%s", shared.path().c_str());
    snprintf(ctx.targetpath, sizeof ctx.targetpath, "%s", target.path().c_str());
    ctx.timeout = timeout_sec;
    arm(&ctx);
    auto started = std::chrono::steady_clock::now();
    {
        // Every wait of a run is bounded by the timeout: the paired lock test waits at
        // most a few of them in a row, the partner thread one more.
        Watchdog dog((DWORD)(timeout_sec * 8 + 30) * 1000);
        out.result = single_check(&ctx);
    }
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    sys_calls_reset();
    open_report_log("");
    delete_cleanup_lock();
    out.report = kavtest::read_file(log);
    for (const std::string &f : tool_files(shared.path())) out.left.push_back("h/" + f);
    for (const std::string &f : tool_files(target.path())) out.left.push_back("p/" + f);
    check_report(&out);
    return out;
}

void check_report(RunOutcome *out) {
    struct Open {
        std::string title;
        bool error = false;  // an error line within it
        bool ng_child = false;
    };
    std::vector<Open> stack;
    std::string last_title, last_result;
    bool any_error = false;
    for (const std::string &line : split_lines(out->report)) {
        size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos) indent = line.size();
        std::string body = line.substr(indent);
        bool begin = body.compare(0, strlen(BEGIN_HEAD), BEGIN_HEAD) == 0 && ends_with(body, BEGIN_TAIL);
        bool ok = body.compare(0, strlen(BEGIN_HEAD), BEGIN_HEAD) == 0 && ends_with(body, END_TAIL_OK);
        bool ng = body.compare(0, strlen(BEGIN_HEAD), BEGIN_HEAD) == 0 && ends_with(body, END_TAIL_NG);
        if (begin) {
            if (indent != 2 * stack.size()) out->problems.push_back("begin line at a wrong depth: " + line);
            Open o;
            o.title = body.substr(strlen(BEGIN_HEAD), body.size() - strlen(BEGIN_HEAD) - strlen(BEGIN_TAIL));
            stack.push_back(o);
        } else if (ok || ng) {
            std::string title =
                body.substr(strlen(BEGIN_HEAD), body.size() - strlen(BEGIN_HEAD) - strlen(END_TAIL_OK));
            if (stack.empty() || stack.back().title != title || indent != 2 * (stack.size() - 1)) {
                out->problems.push_back("end line without its begin line: " + line);
                continue;
            }
            Open o = stack.back();
            stack.pop_back();
            // A partner thread that outlives the timeout aborts the lock test without a line.
            bool silent_abort_allowed = out->result == -1 && title == LOCK_KIND;
            if (ng && !o.ng_child && !o.error && !silent_abort_allowed)
                out->problems.push_back("NG without an error line: " + line);
            if (!stack.empty()) {
                stack.back().error = stack.back().error || o.error;
                stack.back().ng_child = stack.back().ng_child || ng;
            }
            last_title = title;
            last_result = ok ? "OK" : "NG";
        } else if (indent == 8 && !body.empty()) {
            bool error = body.compare(0, 2, "! ") == 0;
            for (const char *d : FAILURE_DETAILS) error = error || line == d;
            if (error) {
                any_error = true;
                if (!stack.empty()) stack.back().error = true;
            }
            if (stack.empty()) out->problems.push_back("detail line outside every test: " + line);
        } else {
            out->problems.push_back("line of no known form: " + line);
        }
    }
    for (const Open &o : stack) out->problems.push_back("title left open: " + o.title);
    if (last_title != OPERATION) out->problems.push_back("the report does not end with the operation's end line");
    else if (last_result != (out->result == 0 ? "OK" : "NG"))
        out->problems.push_back("the operation's end line disagrees with the result " + std::to_string(out->result));
    if (out->result != 0 && !any_error && out->result != -1)
        out->problems.push_back("NG without any error line");
}

std::vector<std::string> error_lines(const std::string &report) {
    std::vector<std::string> out;
    for (const std::string &line : split_lines(report))
        if (line.compare(0, 10, "        ! ") == 0) out.push_back(line.substr(10));
    return out;
}

Tally &tally() {
    static Tally t;
    return t;
}

void count(const RunOutcome &out, bool passed) {
    Tally &t = tally();
    t.run += 1;
    t.passed += passed ? 1 : 0;
    t.left += (int)out.left.size();
    if (out.seconds > t.longest) t.longest = out.seconds;
}

}  // namespace soak
