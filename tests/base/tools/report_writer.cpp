// Writes report lines on command, for the end-to-end tests of the report.
// Usage: report_writer [logfile]  (no log file: the console)
// Reads one command a line from standard input and answers "ok" or "bad" on
// standard error once it is done:
//   begin TITLE | end RESULT TITLE | info TEXT | error CODE OS | errinfo CODE OS
#include "base/report.h"

int main(int argc, char **argv) {
    platform_binary_stdio();
    if (open_report_log(argc > 1 ? argv[1] : "") != 0) return 2;
    char command[4096];
    while (fgets(command, sizeof command, stdin) != nullptr) {
        size_t n = strlen(command);
        while (n > 0 && (command[n - 1] == '\n' || command[n - 1] == '\r')) command[--n] = '\0';
        char *arg = strchr(command, ' ');
        if (arg != nullptr) {
            *arg++ = '\0';
        } else {
            arg = command + n;
        }
        bool ok = true;
        if (strcmp(command, "begin") == 0) {
            report_begin(arg);
        } else if (strcmp(command, "end") == 0) {
            char *title = strchr(arg, ' ');
            ok = title != nullptr;
            if (ok) report_end(title + 1, atoi(arg));
        } else if (strcmp(command, "info") == 0) {
            report_info(arg);
        } else if (strcmp(command, "error") == 0 || strcmp(command, "errinfo") == 0) {
            CheckError error;
            error.code = (int32_t)strtol(arg, &arg, 10);
            error.os_error = (uint32_t)strtoul(arg, nullptr, 10);
            if (strcmp(command, "error") == 0) {
                report_error(&error);
            } else {
                report_error_info(&error);
            }
        } else {
            ok = false;
        }
        fprintf(stderr, ok ? "ok\n" : "bad\n");
        fflush(stderr);
    }
    return 0;
}
