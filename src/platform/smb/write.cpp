// WRITE: bytes into the file at an offset; the data travels in the request.
#include "io_call.h"

namespace smb {

namespace {

uint32_t write_parse(IoContext *io, const Reply &r, uint32_t *bytes) {
    uint32_t st = parse_write(r.body, bytes);
    if (st == kSuccess && *bytes > io->len) return kInvalidNetworkResponse;
    return st;
}

}  // namespace

uint32_t parse_write(const std::vector<uint8_t> &body, uint32_t *count) {
    if (body.size() < 16 || get16(body.data()) != 17) return kInvalidNetworkResponse;
    *count = get32(body.data() + 4);
    return kSuccess;
}

Call *write_start(Tree *tree, const FileId &fid, uint64_t off, const void *src, uint32_t len, OnIo cb, void *arg) {
    std::vector<uint8_t> b;
    b.reserve(48 + len);
    put16(&b, 49);
    put16(&b, static_cast<uint16_t>(kHeaderSize + 48));
    put32(&b, len);
    put64(&b, off);
    put_fid(&b, fid);
    put32(&b, 0);  // channel
    put32(&b, 0);  // remaining
    put16(&b, 0);
    put16(&b, 0);
    put32(&b, 0);  // flags
    const uint8_t *p = static_cast<const uint8_t *>(src);
    b.insert(b.end(), p, p + len);
    if (len == 0) b.push_back(0);
    IoContext *io = new IoContext{cb, arg, nullptr, len, write_parse};
    return io_start(tree, kWrite, std::move(b), conn_charge(tree->conn, len), io);
}

}  // namespace smb
