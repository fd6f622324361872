// Command line, validation and the entry.
#pragma once

#include "base/context.h"

// 0 when the command line is complete and consistent; -1 after the usage text.
int parse_arguments(int argc, char **argv, CheckContext *ctx);

// 0 when the folders or the file are usable, the report is open and the cleanup
// lock exists; -1 after one message on the standard error stream.
int validate_arguments(CheckContext *ctx);

// The program entry: parse, validate, run the mode's driver; 0 or -1.
int kavprobe_main(int argc, char **argv);
// The mode's driver on a validated context, then the cleanup lock's end; 0 or -1.
int kavprobe_run(CheckContext *ctx);
