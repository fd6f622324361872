// READ: bytes of the file at an offset; the data is copied where the caller wants it
// when the final response comes.
#include "io_call.h"

#include <string.h>

namespace smb {

namespace {

void io_done(void *arg, const Reply &r) {
    IoContext *io = static_cast<IoContext *>(arg);
    uint32_t bytes = 0;
    uint32_t st = r.status;
    if (st == kSuccess && io->parse != nullptr) st = io->parse(io, r, &bytes);
    if (io->cb != nullptr) io->cb(io->arg, st, st == kSuccess ? bytes : 0);
    delete io;
}

uint32_t read_parse(IoContext *io, const Reply &r, uint32_t *bytes) {
    return parse_read(r.body, io->len, io->dst, bytes);
}

}  // namespace

Call *io_start(Tree *tree, Command cmd, std::vector<uint8_t> body, uint32_t charge, IoContext *io) {
    return call_start(tree->conn, tree, cmd, std::move(body), charge, io_done, io);
}

uint32_t parse_read(const std::vector<uint8_t> &body, uint32_t len, void *dst, uint32_t *got) {
    *got = 0;
    if (body.size() < 16 || get16(body.data()) != 17) return kInvalidNetworkResponse;
    const uint32_t off = body[2];
    const uint32_t n = get32(body.data() + 4);
    if (n == 0) return kSuccess;
    if (off < kHeaderSize || n > len) return kInvalidNetworkResponse;
    const size_t at = off - kHeaderSize;
    if (at > body.size() || body.size() - at < n) return kInvalidNetworkResponse;
    memcpy(dst, body.data() + at, n);
    *got = n;
    return kSuccess;
}

Call *read_start(Tree *tree, const FileId &fid, uint64_t off, uint32_t len, void *dst, OnIo cb, void *arg) {
    std::vector<uint8_t> b;
    put16(&b, 49);
    b.push_back(0x50);  // padding: data right after the response's fixed part
    b.push_back(0);
    put32(&b, len);
    put64(&b, off);
    put_fid(&b, fid);
    put32(&b, 0);  // minimum count
    put32(&b, 0);  // channel
    put32(&b, 0);  // remaining
    put16(&b, 0);
    put16(&b, 0);
    b.push_back(0);  // the buffer is never empty
    IoContext *io = new IoContext{cb, arg, dst, len, read_parse};
    return io_start(tree, kRead, std::move(b), conn_charge(tree->conn, len), io);
}

}  // namespace smb
