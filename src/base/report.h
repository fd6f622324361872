// The nested test report, the check error table and CheckError.
#pragma once

#include "base/context.h"

#include <atomic>

// The codes of the check error table, named for what failed.
enum CheckCode : int32_t {
    CHECK_NONE = 0,
    CHECK_SHARED_NOT_OPENED = 4,  // a file of the shared-settings path
    CHECK_TARGET_NOT_OPENED = 5,  // a file of the target path
    CHECK_SHARED_OPENED = 6,      // opened although it must not be
    CHECK_TARGET_OPENED = 7,
    CHECK_SHARED_OPEN_ERROR = 8,  // refused, but not as expected
    CHECK_TARGET_OPEN_ERROR = 9,
    CHECK_UNLOCK_FAILED = 10,
    CHECK_WRITE_FAILED = 11,
    CHECK_READ_FAILED = 12,
    CHECK_EXCLUSIVE_WAIT_FAILED = 13,
    CHECK_SHARED_WAIT_FAILED = 14,
    CHECK_EXCLUSIVE_NO_WAIT_FAILED = 15,
    CHECK_SHARED_NO_WAIT_FAILED = 16,
    CHECK_SHARED_OVER_EXCLUSIVE = 17,  // a lock granted that must be refused
    CHECK_EXCLUSIVE_OVER_SHARED = 18,
    CHECK_EXCLUSIVE_OVER_EXCLUSIVE = 19,
    CHECK_NO_MEMORY = 20,
    CHECK_NO_HOST_NAME = 21,
    CHECK_TIMEOUT = 22,
    CHECK_DELETE_FAILED = 23,
    CHECK_PEER_GONE = 24,
    CHECK_PATH_NOT_PARSED = 25,
    CHECK_NO_FILE_BESIDE_TARGET = 26,
    CHECK_USER_FILE_NOT_OPENED = 27,
    CHECK_USER_FILE_OPENED = 28,
    CHECK_SYNC_FILE_NOT_CREATED = 29,
    CHECK_SYNC_FILE_NOT_WATCHED = 30,
    CHECK_WATCH_THREAD_FAILED = 31,
    CHECK_EVENT_FAILED = 32,
    CHECK_TIMER_FAILED = 33,
};

struct CheckError {
    int32_t code;       // check error code, 0 = none
    uint32_t os_error;  // GetLastError() at the failure, 0 = none
};

struct CheckErrorEntry {
    int32_t code;
    const char *message;  // code page 932
};

// In stored order, ended by {0, nullptr}.
extern const CheckErrorEntry check_error_table[];

// Returns the message of a code, or nullptr when the table has no such code.
const char *check_error_message(int32_t code);

int open_report_log(const char *logfile);
void report_begin(const char *title);
void report_end(const char *title, TestResult result);
void report_info(const char *text);
// report_info with a printf format; the text is formed into the line's bounded buffer.
void report_infof(const char *format, ...) __attribute__((format(printf, 1, 2)));
void report_error(const CheckError *error);
void report_error_info(const CheckError *error);
// Fills a check error with the thread's last error (read first), or with the
// given system error; nothing when error is null.
void set_check_error(CheckError *error, CheckCode code);
void set_check_error(CheckError *error, CheckCode code, DWORD os_error);
// Fills a check error as set_check_error does and writes its error line.
void report_check_error(CheckError *error, CheckCode code);
void report_check_error(CheckError *error, CheckCode code, DWORD os_error);

// Size of every formatted report line, terminator included.
enum { REPORT_LINE_MAX = 1024 };

// Called (when set) by every report operation on the calling thread before it
// writes anything. The sync layer sets it so that a thread that a console control
// handler has asked to stop parks there, never holding the output stream's lock
// that the handler's clean-up needs.
// Atomic because a test may swap it while a thread of an earlier case still runs.
typedef void (*ReportLineHook)(void);
extern std::atomic<ReportLineHook> report_line_hook;

// A begin line now and the matching end line on the way out, with the result as
// it stands then.
class ReportScope {
  public:
    ReportScope(const char *title, const TestResult *result) : title_(title), result_(result) {
        report_begin(title_);
    }
    ~ReportScope() { report_end(title_, *result_); }
    ReportScope(const ReportScope &) = delete;
    ReportScope &operator=(const ReportScope &) = delete;

  private:
    const char *title_;
    const TestResult *result_;
};
