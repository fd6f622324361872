// The nested test report, the check error table and CheckError.
#pragma once

#include "front/context.h"

#include <atomic>

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
// Reads GetLastError() first; does nothing when error is null.
void set_check_error(CheckError *error, int32_t code);

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
