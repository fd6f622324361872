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
    if (ms == INFINITE) {
        cv.wait(lock, [this] { return signalled; });
    } else {
        auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        if (!cv.wait_until(lock, limit, [this] { return signalled; })) return WAIT_TIMEOUT;
    }
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
    if (lpName != nullptr && lpName[0] != '\0')
        // Named kernel objects are shared between processes, which this layer does not offer.
        return plat::fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
    Event *e = new (std::nothrow) Event(bManualReset != FALSE, bInitialState != FALSE);
    if (e == nullptr) return plat::fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    HANDLE h = plat::handle_insert(e);
    if (h != nullptr) SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    Ref<Event> e(plat::handle_ref(hEvent, Kind::Event));
    if (!e) return FALSE;
    e->sig.set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    Ref<Event> e(plat::handle_ref(hEvent, Kind::Event));
    if (!e) return FALSE;
    e->sig.reset();
    return TRUE;
}
