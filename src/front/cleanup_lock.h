// The process-wide cleanup lock: guards the modes' cleanup registries, the
// handler slot counter of mode single and the sync registry.
#pragma once

#include "platform/win32.h"

extern CRITICAL_SECTION g_cleanup_lock;

// Returns 0, or -1 when the lock could not be created.
int create_cleanup_lock(void);
void delete_cleanup_lock(void);
