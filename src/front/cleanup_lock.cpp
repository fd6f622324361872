// The process-wide cleanup lock.
#include "front/cleanup_lock.h"

CRITICAL_SECTION g_cleanup_lock;

namespace {
// Lets delete_cleanup_lock run on every way out, created or not.
bool cleanup_lock_created;
}  // namespace

int create_cleanup_lock(void) {
    if (cleanup_lock_created) return 0;
    // Since Windows Vista InitializeCriticalSection cannot fail (the low-memory
    // exception of older systems is gone), so creation always succeeds here.
    InitializeCriticalSection(&g_cleanup_lock);
    cleanup_lock_created = true;
    return 0;
}

void delete_cleanup_lock(void) {
    if (!cleanup_lock_created) return;
    DeleteCriticalSection(&g_cleanup_lock);
    cleanup_lock_created = false;
}
