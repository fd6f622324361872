// Events: manual-reset and auto-reset, unnamed.
#include "event.h"

#include <chrono>
#include <new>

namespace plat {

void Signal::set() {
    std::lock_guard<std::mutex> lock(mu);
    signalled = true;
    // An auto-reset signal releases exactly one waiter; the others stay blocked.
    if (manual)
        cv.notify_all();
    else
        cv.notify_one();
}

void Signal::reset() {
    std::lock_guard<std::mutex> lock(mu);
    signalled = false;
}

DWORD Signal::wait(DWORD ms) {
    std::unique_lock<std::mutex> lock(mu);
    auto ready = [this] { return signalled; };
    if (ms == INFINITE)
        cv.wait(lock, ready);
    else if (!cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), ready))
        return WAIT_TIMEOUT;
    if (!manual) signalled = false;
    return WAIT_OBJECT_0;
}

}  // namespace plat

using plat::Event;
using plat::Kind;
using plat::Ref;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    (void)lpEventAttributes;  // no inheritance across exec; security does not apply to unnamed objects
    return plat::handle_insert_unnamed(lpName,
                                       new (std::nothrow) Event(bManualReset != FALSE, bInitialState != FALSE));
}

// SetEvent and ResetEvent.
static BOOL change_event(HANDLE hEvent, void (plat::Signal::*change)()) {
    Ref<Event> e(plat::handle_ref(hEvent, Kind::Event));
    if (!e) return FALSE;
    (e->sig.*change)();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return change_event(hEvent, &plat::Signal::set); }
BOOL WINAPI ResetEvent(HANDLE hEvent) { return change_event(hEvent, &plat::Signal::reset); }
