// The parsed command line and the run's mode, handed by pointer to every check.
#pragma once

#include "platform/win32.h"

// 0 = OK, 1 = NG, -1 = aborted.
typedef int TestResult;

enum { TEST_OK = 0, TEST_NG = 1, TEST_ABORTED = -1 };

// Command-line values are at most this many bytes (terminator excluded).
enum { ARG_VALUE_MAX = 200 };

// The run's mode; also the kind of work-file name and rendezvous: the single
// checks (of mode double too) name theirs per process, the mutual tests share theirs.
enum { MODE_NONE = 0, MODE_SINGLE = 1, MODE_DOUBLE = 2, MODE_USERAPL = 3 };

// Folder selectors of the tests.
enum { FOLDER_SHARED = 1, FOLDER_TARGET = 2 };

struct CheckContext {
    int32_t mode;               // MODE_*; kind of work-file name
    char kavsharepath[261];     // -h
    char targetpath[261];       // -p
    char targetfile[261];       // -f
    int32_t timeout;            // seconds, 10..600
    char logfile[261];          // -o; empty: console
};

// Combines member results the way every level of the report does: -1 wins,
// then 1, else 0.
inline TestResult combine_result(TestResult acc, TestResult r) {
    if (acc == TEST_ABORTED || r == TEST_ABORTED) return TEST_ABORTED;
    return (acc == TEST_NG || r == TEST_NG) ? TEST_NG : TEST_OK;
}
