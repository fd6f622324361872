// Signalled state shared by events and file handles (a file handle is signalled
// when an overlapped request on it completes and no event was given).
#pragma once

#include "handles.h"

#include <condition_variable>
#include <mutex>

namespace plat {

struct Signal {
    explicit Signal(bool manual_reset, bool initial) : manual(manual_reset), signalled(initial) {}

    void set();
    void reset();
    // WAIT_OBJECT_0 or WAIT_TIMEOUT; a successful wait on an auto-reset signal consumes it.
    DWORD wait(DWORD ms);

    std::mutex mu;
    std::condition_variable cv;
    const bool manual;
    bool signalled;
};

struct Event : Object {
    Event(bool manual_reset, bool initial) : Object(Kind::Event), sig(manual_reset, initial) {}
    DWORD wait(DWORD ms) override { return sig.wait(ms); }
    Signal sig;
};

}  // namespace plat
