// Helpers shared by the fuzz targets: a private working folder and a way to read
// what a call wrote to the standard error stream.
#pragma once

#include <stddef.h>
#include <string>

// Creates a fresh folder under TMPDIR (removed at exit) and makes it the working
// folder; returns its path. Every file a target lets the code create stays in it.
std::string fuzz_enter_work_folder(const char *prefix);

// Reports a broken property with the input's context and aborts, so that libFuzzer
// keeps the input as a crash.
[[noreturn]] void fuzz_fail(const char *what, const std::string &detail);

// Sends a standard stream (1 or 2) to a scratch file until fuzz_capture_end,
// which restores it and returns what was written in between.
void fuzz_capture_begin(int fd);
std::string fuzz_capture_end(void);
