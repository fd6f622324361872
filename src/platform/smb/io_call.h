// What READ, WRITE and LOCK share: a call whose end is told to an OnIo callback.
#pragma once

#include "transport.h"

namespace smb {

// The context of one I/O call, freed when it ends.
struct IoContext {
    OnIo cb = nullptr;
    void *arg = nullptr;
    void *dst = nullptr;  // READ: where the data goes
    uint32_t len = 0;
    uint32_t (*parse)(IoContext *io, const Reply &r, uint32_t *bytes) = nullptr;
};

// Starts the call; io is owned by it from here on.
Call *io_start(Tree *tree, Command cmd, std::vector<uint8_t> body, uint32_t charge, IoContext *io);

}  // namespace smb
