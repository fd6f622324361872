// LOCK: one byte range locked or unlocked. A lock that may wait pends at the server
// (an interim response) until it is granted, cancelled or its open closes.
#include "io_call.h"

namespace smb {

Call *lock_start(Tree *tree, const FileId &fid, uint64_t off, uint64_t len, uint32_t flags, OnIo cb, void *arg) {
    std::vector<uint8_t> b;
    put16(&b, 48);
    put16(&b, 1);  // one element
    put32(&b, 0);  // lock sequence
    put_fid(&b, fid);
    put64(&b, off);
    put64(&b, len);
    put32(&b, flags);
    put32(&b, 0);
    IoContext *io = new IoContext{cb, arg, nullptr, 0, nullptr};
    return io_start(tree, kLock, std::move(b), 1, io);
}

}  // namespace smb
