// Small helpers shared by the mode double tests.
#pragma once

#include "front/report.h"
#include "front/scope_exit.h"

// A titled step of the report: the begin line now, the end line with the step's
// result as it stands when the step is left, however it is left.
struct ReportStep {
    const char *title;
    TestResult result;
    explicit ReportStep(const char *t) : title(t), result(TEST_OK) { report_begin(title); }
    ~ReportStep() { report_end(title, result); }
    ReportStep(const ReportStep &) = delete;
    ReportStep &operator=(const ReportStep &) = delete;
};
