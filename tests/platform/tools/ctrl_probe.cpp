// Registers console control handlers as its arguments say, reports "ready", and
// logs every handler call, so that a test can send signals and check the order
// of the handlers, the thread they ran on and how the process ended.
//
// Arguments, applied in order:
//   add:N:R   register handler N (a, b or c); it returns TRUE when R is T, else FALSE
//   del:N     remove one registration of handler N; logs "del N ok" or "del N fail ERR"
//   ignore    SetConsoleCtrlHandler(NULL, TRUE)
//   hold      register a handler that takes the event only after the main thread
//             has tried to register another one and 300 ms more have passed;
//             the main thread then logs "add waited for the handler" or "add ran
//             beside the handler"
// Output lines: "ready", "handler N event E main M tid T" (M is 1 when the handler
// runs on the main thread), "main continues" once a handler took a Ctrl+C or
// Ctrl+Break. Exit codes: 0 after that, 2 on bad arguments, 3 when nothing
// happened within 60 seconds.
#include <atomic>

#include "platform/win32.h"

namespace {

DWORD g_main_tid;
BOOL g_result[3];
std::atomic<int> g_handled{0};

void say(const char *line) {
    fputs(line, stdout);
    fputs("\n", stdout);
    fflush(stdout);
}

BOOL handle(int n, DWORD type) {
    char line[128];
    DWORD tid = GetCurrentThreadId();
    snprintf(line, sizeof line, "handler %c event %lu main %d tid %lu", 'a' + n, (unsigned long)type,
             tid == g_main_tid ? 1 : 0, (unsigned long)tid);
    say(line);
    // A close event ends the process whatever the handlers answer; only a taken
    // Ctrl+C or Ctrl+Break lets the main thread go on.
    if (g_result[n] && type != CTRL_CLOSE_EVENT) g_handled = 1;
    return g_result[n];
}

std::atomic<int> g_holding{0};
std::atomic<int> g_main_trying{0};
std::atomic<int> g_released{0};

BOOL WINAPI holding_handler(DWORD) {
    g_holding = 1;
    for (int i = 0; i < 500 && !g_main_trying; ++i) Sleep(10);
    Sleep(300);
    g_released = 1;
    g_handled = 1;
    return TRUE;
}

BOOL WINAPI handler_a(DWORD type) { return handle(0, type); }
BOOL WINAPI handler_b(DWORD type) { return handle(1, type); }
BOOL WINAPI handler_c(DWORD type) { return handle(2, type); }

PHANDLER_ROUTINE routine(char name) {
    switch (name) {
    case 'a': return handler_a;
    case 'b': return handler_b;
    case 'c': return handler_c;
    default: return NULL;
    }
}

}  // namespace

int main(int argc, char **argv) {
    g_main_tid = GetCurrentThreadId();
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "ignore") == 0) {
            if (!SetConsoleCtrlHandler(NULL, TRUE)) return 2;
        } else if (strcmp(arg, "hold") == 0) {
            if (!SetConsoleCtrlHandler(holding_handler, TRUE)) return 2;
        } else if (strncmp(arg, "add:", 4) == 0 && strlen(arg) == 7 && routine(arg[4]) && arg[5] == ':') {
            g_result[arg[4] - 'a'] = arg[6] == 'T';
            if (!SetConsoleCtrlHandler(routine(arg[4]), TRUE)) return 2;
        } else if (strncmp(arg, "del:", 4) == 0 && strlen(arg) == 5 && routine(arg[4])) {
            char line[64];
            SetLastError(0);
            if (SetConsoleCtrlHandler(routine(arg[4]), FALSE))
                snprintf(line, sizeof line, "del %c ok", arg[4]);
            else
                snprintf(line, sizeof line, "del %c fail %lu", arg[4], (unsigned long)GetLastError());
            say(line);
        } else {
            fprintf(stderr, "bad argument: %s\n", arg);
            return 2;
        }
    }
    say("ready");
    for (int i = 0; i < 6000; ++i) {
        if (g_holding && !g_main_trying) {
            g_main_trying = 1;
            SetConsoleCtrlHandler(handler_c, TRUE);
            say(g_released ? "add waited for the handler" : "add ran beside the handler");
        }
        if (g_handled) {
            say("main continues");
            return 0;
        }
        Sleep(10);
    }
    return 3;
}
