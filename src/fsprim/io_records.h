// Memory for OVERLAPPED records and buffers that the system may still write into,
// and the withdrawal of an operation that is still outstanding.
#pragma once

#include "platform/win32.h"

// A zeroed block; NULL with ERROR_NOT_ENOUGH_MEMORY.
void *io_block_new(size_t size);
// Gives a block back once its operations have ended. A block on which an operation
// may still be outstanding is kept for the rest of the process instead, never
// reused, since the system may still write into it. The last error is kept.
void io_block_retire(void *block, bool outstanding);
// Cancels one operation (CancelIoEx) and waits, bounded, until the system has
// ended it: 1 it ended successfully after all, 0 it ended otherwise, -1 it is
// still outstanding.
int io_withdraw(HANDLE file, OVERLAPPED *overlapped);
