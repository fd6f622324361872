// FLUSH: the server writes the file's data through to its disk.
#include "transport.h"

namespace smb {

uint32_t flush(Tree *tree, const FileId &fid) {
    std::vector<uint8_t> b;
    put16(&b, 24);
    put16(&b, 0);
    put32(&b, 0);
    put_fid(&b, fid);
    Reply r;
    call_sync(tree->conn, tree, kFlush, std::move(b), 1, &r);
    return r.status;
}

}  // namespace smb
