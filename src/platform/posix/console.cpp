// Console control handlers.
//
// SIGINT, SIGQUIT, SIGHUP and SIGTERM are blocked in every thread from before
// main (threads inherit the mask), and one dispatcher thread takes them with
// sigwaitinfo. Each signal becomes a control event whose handlers run on a new
// thread of their own, newest first, as Windows runs them; nothing but the
// kernel touches the signal asynchronously, so handlers may take locks freely.
//
// This file is linked only into programs that use SetConsoleCtrlHandler; every
// other program keeps the plain POSIX signal behaviour.
#include "handles.h"

#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <vector>

namespace plat {

namespace {

// Windows waits this long for the handlers of a close event before it ends the process.
constexpr int kCloseTimeoutSec = 5;

sigset_t g_ctrl_signals;    // the signals this file turns into control events
sigset_t g_original_mask;   // the mask the process started with, restored in forked children

// Held while an event's handlers run, as Windows and Wine hold their console lock:
// another thread that (un)registers a handler meanwhile waits until the event is
// handled, and so never gets past that call when the event ends the process.
// Recursive, so that a handler may (un)register handlers itself.
std::recursive_mutex g_list_mu;
std::vector<PHANDLER_ROUTINE> *g_handlers;  // oldest first; never freed (used until exit)
bool g_ignore_ctrl_c = false;

// Events are handled one at a time.
std::mutex g_dispatch_mu;

DWORD event_of(int sig) {
    switch (sig) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    default: return CTRL_CLOSE_EVENT;  // SIGHUP (terminal gone), SIGTERM (asked to end)
    }
}

// Ends the process the way Linux ends it for this signal when nobody handles it.
[[noreturn]] void die_by(int sig) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    // Only reached for a signal whose default action does not end the process.
    _exit(128 + sig);
}

void *run_handlers(void *arg) {
    const int sig = (int)(intptr_t)arg;
    const DWORD type = event_of(sig);
    std::lock_guard<std::mutex> one_event(g_dispatch_mu);

    std::lock_guard<std::recursive_mutex> lock(g_list_mu);
    if (type == CTRL_C_EVENT && g_ignore_ctrl_c) return nullptr;
    // The chain as it stood when the event came; a handler that changes the list
    // changes the next event's chain.
    std::vector<PHANDLER_ROUTINE> chain;
    try {
        if (g_handlers) chain.assign(g_handlers->rbegin(), g_handlers->rend());
    } catch (const std::bad_alloc &) {
        chain.clear();  // no memory for the handlers: the default action follows
    }

    bool handled = false;
    for (PHANDLER_ROUTINE h : chain) {
        if (h(type)) {
            handled = true;
            break;
        }
    }
    // A close event ends the process once its handlers are done, whatever they
    // answered; Ctrl+C and Ctrl+Break end it only when no handler took them.
    if (!handled || type == CTRL_CLOSE_EVENT) die_by(sig);
    return nullptr;
}

void *dispatcher(void *) {
    for (;;) {
        siginfo_t info;
        int sig = sigwaitinfo(&g_ctrl_signals, &info);
        if (sig < 0) continue;  // EINTR
        if (start_detached(run_handlers, (void *)(intptr_t)sig, 0) != 0) {
            run_handlers((void *)(intptr_t)sig);  // no thread to spare: run them here
            continue;
        }
        if (event_of(sig) == CTRL_CLOSE_EVENT) {
            // The handler thread ends the process when the handlers return; a
            // handler that hangs is cut short as Windows cuts it.
            struct timespec ts = {kCloseTimeoutSec, 0};
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
            die_by(sig);
        }
    }
    return nullptr;
}

// Gives the signals their plain effect back: in a forked child, which has no
// dispatcher thread, and in a process whose dispatcher could not start.
void restore_original_mask() { pthread_sigmask(SIG_SETMASK, &g_original_mask, nullptr); }

// Runs before main and before any thread of the program exists, so every later
// thread inherits the blocked mask.
__attribute__((constructor)) void start_ctrl_dispatch() {
    sigemptyset(&g_ctrl_signals);
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        // A signal the process was started with ignored (nohup, a background job)
        // stays ignored, as a Windows child inherits the ignoring of Ctrl+C.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaddset(&g_ctrl_signals, sig);
    }
    g_handlers = new (std::nothrow) std::vector<PHANDLER_ROUTINE>();
    pthread_sigmask(SIG_BLOCK, &g_ctrl_signals, &g_original_mask);
    pthread_atfork(nullptr, nullptr, restore_original_mask);
    if (start_detached(dispatcher, nullptr, 0) != 0) restore_original_mask();
}

}  // namespace

}  // namespace plat

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    std::lock_guard<std::recursive_mutex> lock(plat::g_list_mu);
    if (HandlerRoutine == nullptr) {
        // The process-wide switch that makes Ctrl+C do nothing at all.
        plat::g_ignore_ctrl_c = Add != FALSE;
        return TRUE;
    }
    std::vector<PHANDLER_ROUTINE> *list = plat::g_handlers;
    if (list == nullptr) return plat::fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    if (Add) {
        // The same routine may be registered more than once; it then runs once per entry.
        try {
            list->push_back(HandlerRoutine);
        } catch (const std::bad_alloc &) {
            return plat::fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
        }
        return TRUE;
    }
    for (size_t i = list->size(); i-- > 0;) {
        if ((*list)[i] == HandlerRoutine) {
            list->erase(list->begin() + (ptrdiff_t)i);
            return TRUE;
        }
    }
    return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
}
