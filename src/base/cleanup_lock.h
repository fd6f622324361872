// The process-wide cleanup lock: guards the modes' cleanup registries, the
// handler slot counter of mode single and the sync registry.
#pragma once

#include "platform/win32.h"

extern CRITICAL_SECTION g_cleanup_lock;

// Holds the lock for a scope; the last error of the calls made under it outlives
// the leave.
struct CleanupLockHeld {
    CleanupLockHeld() { EnterCriticalSection(&g_cleanup_lock); }
    ~CleanupLockHeld() {
        const DWORD error = GetLastError();
        LeaveCriticalSection(&g_cleanup_lock);
        SetLastError(error);
    }
    CleanupLockHeld(const CleanupLockHeld &) = delete;
    CleanupLockHeld &operator=(const CleanupLockHeld &) = delete;
};

// Returns 0, or -1 when the lock could not be created.
int create_cleanup_lock(void);
// Waits until no console control handler holds or is entering the lock, then
// deletes it.
void delete_cleanup_lock(void);

// For the console control handlers. A handler may still run after its driver
// removed it (the system takes the list of handlers when the event comes), so it
// enters the lock through here: false, with nothing held, once the lock is being
// deleted; the handler then has nothing left to release.
bool enter_cleanup_lock_in_handler(void);
void leave_cleanup_lock_in_handler(void);
