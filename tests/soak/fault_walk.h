// Runs of the whole mode single check with one call of its table made to fail,
// and the rules every such run must keep: it ends, it leaves no file of its own,
// and its report is a properly nested account of what failed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/context.h"

namespace soak {

struct RunOutcome {
    TestResult result = 0;
    double seconds = 0;
    std::string report;               // code page 932, CR LF
    std::vector<std::string> left;    // files of the tool left in the two folders
    std::vector<std::string> problems;  // broken rules; empty when the run passed
};

// One single_check on two fresh folders with a short timeout. arm() runs just
// before the check (it replaces entries of the table of calls), the table is put
// back afterwards. A run still going after the bound ends the process with a
// message: a hang must not pass for a slow run.
RunOutcome run_single_check(const std::function<void(CheckContext *)> &arm, int timeout_sec = 2);

// The log file of the run in progress, in the form the Win32 layer takes.
const std::string &log_path();

// Adds to out.problems every broken rule of the report: a line of no known form,
// an end line without its begin line, a title left open, an innermost NG without
// an error line, a last line other than the end of the operation with the
// returned result, a result other than OK with no error line at all.
void check_report(RunOutcome *out);

// Error lines ("! " marker) of the report, decoded only as far as needed.
std::vector<std::string> error_lines(const std::string &report);

// Counters of every scenario run in this process, printed at exit for scripts/soak.
struct Tally {
    int run = 0;
    int passed = 0;
    int left = 0;
    double longest = 0;
};
Tally &tally();
void count(const RunOutcome &out, bool passed);

}  // namespace soak
