// The process-wide cleanup lock.
#include "base/cleanup_lock.h"

#include <atomic>

CRITICAL_SECTION g_cleanup_lock;

namespace {
// Lets delete_cleanup_lock run on every way out, created or not.
bool cleanup_lock_created;
// Handlers inside or about to enter the lock, and whether it is being deleted.
// Sequentially consistent: either a handler sees the deletion or the deletion
// sees the handler.
std::atomic<int> handlers_in{0};
std::atomic<bool> lock_closing{false};
}  // namespace

int create_cleanup_lock(void) {
    if (cleanup_lock_created) return 0;
    // Since Windows Vista InitializeCriticalSection cannot fail (the low-memory
    // exception of older systems is gone), so creation always succeeds here.
    InitializeCriticalSection(&g_cleanup_lock);
    cleanup_lock_created = true;
    lock_closing = false;
    return 0;
}

void delete_cleanup_lock(void) {
    if (!cleanup_lock_created) return;
    lock_closing = true;
    // A handler's own waits are bounded, so this one is too.
    while (handlers_in.load() != 0) Sleep(10);
    DeleteCriticalSection(&g_cleanup_lock);
    cleanup_lock_created = false;
}

bool enter_cleanup_lock_in_handler(void) {
    ++handlers_in;
    if (lock_closing.load()) {
        --handlers_in;
        return false;
    }
    EnterCriticalSection(&g_cleanup_lock);
    return true;
}

void leave_cleanup_lock_in_handler(void) {
    LeaveCriticalSection(&g_cleanup_lock);
    --handlers_in;
}
