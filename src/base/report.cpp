// The nested test report, its line formats and the check error table.
#include "base/report.h"

std::atomic<ReportLineHook> report_line_hook{nullptr};

const CheckErrorEntry check_error_table[] = {
    {CHECK_NO_MEMORY, "メモリ確保処理に失敗しました。"},
    {CHECK_NO_HOST_NAME, "ホスト名取得処理に失敗しました。"},
    {CHECK_TIMEOUT, "処理待機時間がタイムアウト時間を超えました。"},
    {CHECK_SHARED_NOT_OPENED, "KAVRO間共有環境設定パスのファイルを開くことができませんでした。"},
    {CHECK_TARGET_NOT_OPENED, "確認対象パスのファイルを開くことができませんでした。"},
    {CHECK_SHARED_OPENED, "KAVRO間共有環境設定パスのファイルを開くことができてしまいました。"},
    {CHECK_TARGET_OPENED, "確認対象パスのファイルを開くことができてしまいました。"},
    {CHECK_SHARED_OPEN_ERROR, "KAVRO間共有環境設定パスのファイルを開く時にエラーが発生しました。"},
    {CHECK_TARGET_OPEN_ERROR, "確認対象パスのファイルを開く時にエラーが発生しました。"},
    {CHECK_WRITE_FAILED, "ファイルの書き込み処理に失敗しました。"},
    {CHECK_READ_FAILED, "ファイルの読み込み処理に失敗しました。"},
    {CHECK_UNLOCK_FAILED, "ロックの開放に失敗しました。"},
    {CHECK_SHARED_WAIT_FAILED, "共有ロックの待機取得に失敗しました。"},
    {CHECK_EXCLUSIVE_WAIT_FAILED, "排他ロックの待機取得に失敗しました。"},
    {CHECK_SHARED_NO_WAIT_FAILED, "共有ロックの非待機取得に失敗しました。"},
    {CHECK_EXCLUSIVE_NO_WAIT_FAILED, "排他ロックの非待機取得に失敗しました。"},
    {CHECK_SHARED_OVER_EXCLUSIVE, "既に排他ロック済の箇所に共有ロックが取得できてしまいました。"},
    {CHECK_EXCLUSIVE_OVER_SHARED, "既に共有ロック済の箇所に排他ロックが取得できてしまいました。"},
    {CHECK_EXCLUSIVE_OVER_EXCLUSIVE, "既に排他ロック済の箇所に排他ロックが取得できてしまいました。"},
    {CHECK_DELETE_FAILED, "確認対象パスのファイルの削除に失敗しました。"},
    {CHECK_PEER_GONE, "相手プロセスが既に終了しています。"},
    {CHECK_PATH_NOT_PARSED, "ファイルパスの解析に失敗しました。"},
    {CHECK_NO_FILE_BESIDE_TARGET, "確認対象ファイルと同一階層にファイルを作成することができませんでした。"},
    {CHECK_USER_FILE_NOT_OPENED, "確認対象ファイルをオープンすることができませんでした。"},
    {CHECK_USER_FILE_OPENED, "確認対象ファイルをオープンすることができてしまいました。"},
    {CHECK_SYNC_FILE_NOT_CREATED, "同期用ファイルの作成に失敗しました。"},
    {CHECK_SYNC_FILE_NOT_WATCHED, "同期用ファイルの監視に失敗しました。"},
    {CHECK_WATCH_THREAD_FAILED, "同期用ファイル監視スレッドの生成に失敗しました。"},
    {CHECK_EVENT_FAILED, "終了確認用イベントオブジェクト生成に失敗しました。"},
    {CHECK_TIMER_FAILED, "終了確認用タイマーオブジェクト生成に失敗しました。"},
    {0, nullptr},
};

namespace {

// Log file of the report; empty: the console.
char report_log_path[261];
// Tests open on the writing thread; begin and end lines are indented by twice this.
int32_t report_depth;
// Set only in the thread that opened the report; every other thread drops its lines.
thread_local int32_t report_enabled;

// Keeps the caller's last error across a report operation: callers often write a
// detail line between a failing call and set_check_error, and opening the log
// file (OPEN_ALWAYS) or writing to the console would overwrite it.
struct LastErrorKeeper {
    DWORD saved;
    LastErrorKeeper() : saved(GetLastError()) {
        ReportLineHook hook = report_line_hook.load();
        if (hook != nullptr) hook();
    }
    ~LastErrorKeeper() { SetLastError(saved); }
    LastErrorKeeper(const LastErrorKeeper &) = delete;
    LastErrorKeeper &operator=(const LastErrorKeeper &) = delete;
};

// Appends one line to the log file, or writes it to standard output. A line that
// cannot be written is lost; the next one tries again.
void write_line(const char *line) {
    if (report_enabled == 0) return;
    if (report_log_path[0] == '\0') {
        printf("%s", line);
        // A piped report must show each line before the tool starts a long wait.
        fflush(stdout);
        return;
    }
    HANDLE log = CreateFileA(report_log_path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE) return;
    // With the high part the end of a log past 4 GiB is reached too; failure is
    // then INVALID_SET_FILE_POINTER together with a last error.
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(log, 0, &high, FILE_END);
    if (low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) {
        DWORD written = 0;
        WriteFile(log, line, (DWORD)strlen(line), &written, NULL);
    }
    CloseHandle(log);
}

// Forms a line of at most REPORT_LINE_MAX bytes (terminator included) and writes
// it. A line that does not fit keeps its head (indentation, marker, message and as
// much of the rest as fits) cut after a whole character of the ANSI code page, and
// still ends in CR LF.
void write_formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
void write_formatted(const char *format, ...) {
    char line[REPORT_LINE_MAX];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, REPORT_LINE_MAX, format, args);
    va_end(args);
    if (n < 0) line[0] = '\0';
    if (n >= REPORT_LINE_MAX) {
        const int keep_max = REPORT_LINE_MAX - 3;  // room for CR LF and the terminator
        int keep = 0;
        while (keep < keep_max) {
            int width = (IsDBCSLeadByte((BYTE)line[keep]) && line[keep + 1] != '\0') ? 2 : 1;
            if (keep + width > keep_max) break;
            keep += width;
        }
        memcpy(line + keep, "\r\n", 3);
    }
    write_line(line);
}

// The error line of a check error, with or without the "!" marker.
void write_error_line(const CheckError *error, int marked) {
    if (error == nullptr) return;
    const char *message = check_error_message(error->code);
    if (message == nullptr) return;
    const char *marker = marked ? "! " : "";
    if (error->os_error == 0) {
        write_formatted("        %s%s\r\n", marker, message);
        return;
    }
    // A long system text is cut by the line's own bound.
    char *text = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                               NULL, error->os_error, 0x0400, (LPSTR)&text, 0, NULL);
    write_formatted("        %s%s ERRORCODE=%d(%s)\r\n", marker, message, (int)error->os_error,
                    len != 0 && text != nullptr ? text : "");
    if (text != nullptr) LocalFree(text);
}

}  // namespace

const char *check_error_message(int32_t code) {
    for (const CheckErrorEntry *entry = check_error_table; entry->message != nullptr; ++entry) {
        if (entry->code == code) return entry->message;
    }
    return nullptr;
}

int open_report_log(const char *logfile) {
    LastErrorKeeper keep;
    if (logfile == nullptr || logfile[0] == '\0') {
        report_log_path[0] = '\0';
        report_enabled = 1;
        return 0;
    }
    if (strlen(logfile) >= sizeof report_log_path) return -1;
    HANDLE log =
        CreateFileA(logfile, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE) {
        keep.saved = GetLastError();
        return -1;
    }
    CloseHandle(log);
    memset(report_log_path, 0, sizeof report_log_path);
    memcpy(report_log_path, logfile, strlen(logfile) + 1);
    report_enabled = 1;
    return 0;
}

// The depth belongs to the thread that writes the report; a thread whose lines
// are dropped (the partner thread) never reads it while the writer changes it.
static int32_t own_depth(void) { return report_enabled != 0 ? report_depth : 0; }

void report_begin(const char *title) {
    LastErrorKeeper keep;
    write_formatted("%*sテスト %sを開始します。\r\n", 2 * own_depth(), "", title);
    if (report_enabled != 0) ++report_depth;
}

void report_end(const char *title, TestResult result) {
    LastErrorKeeper keep;
    // An unbalanced end never indents by a negative width.
    if (report_enabled != 0 && report_depth > 0) --report_depth;
    write_formatted("%*sテスト %sが終了しました。 ... [ %s ]\r\n", 2 * own_depth(), "", title,
                    result == TEST_OK ? "OK" : "NG");
}

void report_info(const char *text) {
    LastErrorKeeper keep;
    write_formatted("        %s\r\n", text);
}

void report_infof(const char *format, ...) {
    LastErrorKeeper keep;
    char text[REPORT_LINE_MAX];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) text[0] = '\0';
    write_formatted("        %s\r\n", text);
}

void report_error(const CheckError *error) {
    LastErrorKeeper keep;
    write_error_line(error, 1);
}

void report_error_info(const CheckError *error) {
    LastErrorKeeper keep;
    write_error_line(error, 0);
}

void set_check_error(CheckError *error, CheckCode code) { set_check_error(error, code, GetLastError()); }

void set_check_error(CheckError *error, CheckCode code, DWORD os_error) {
    if (error == nullptr) return;
    error->code = code;
    error->os_error = os_error;
}

void report_check_error(CheckError *error, CheckCode code) { report_check_error(error, code, GetLastError()); }

void report_check_error(CheckError *error, CheckCode code, DWORD os_error) {
    set_check_error(error, code, os_error);
    report_error(error);
}
