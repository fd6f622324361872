#include "fsprim/io_records.h"

#include "fsprim/calls.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace {

enum {
    // How long a cancelled operation may take to end before its block is kept for good.
    WITHDRAW_POLL_MS = 10,
    WITHDRAW_POLLS = 500,
};

// Each block carries a link in front of its caller's part, for the list of blocks
// kept for the process's life.
struct alignas(alignof(std::max_align_t)) BlockHead {
    BlockHead *next;
};

std::atomic<BlockHead *> kept_blocks{nullptr};

BlockHead *head_of(void *block) { return static_cast<BlockHead *>(block) - 1; }

}  // namespace

void *io_block_new(size_t size) {
    BlockHead *head = static_cast<BlockHead *>(calloc(1, sizeof(BlockHead) + size));
    if (head == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return head + 1;
}

void io_block_retire(void *block, bool outstanding) {
    if (block == nullptr) return;
    BlockHead *head = head_of(block);
    if (outstanding) {
        BlockHead *first = kept_blocks.load();
        do {
            head->next = first;
        } while (!kept_blocks.compare_exchange_weak(first, head));
        return;
    }
    const DWORD saved = GetLastError();
    free(head);
    SetLastError(saved);
}

int io_withdraw(HANDLE file, OVERLAPPED *overlapped) {
    sys_calls.cancel_io_ex(file, overlapped);  // FALSE when it has ended meanwhile; the poll tells
    for (int i = 0; i < WITHDRAW_POLLS; ++i) {
        DWORD transferred = 0;
        if (sys_calls.get_overlapped_result(file, overlapped, &transferred, FALSE)) return 1;
        if (GetLastError() != ERROR_IO_INCOMPLETE) return 0;
        Sleep(WITHDRAW_POLL_MS);
    }
    return -1;
}
