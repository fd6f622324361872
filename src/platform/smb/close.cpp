// CLOSE: ends an open; the server releases its locks and, for the last open of a file
// whose delete is pending, removes the name.
#include "transport.h"

namespace smb {

uint32_t close(Tree *tree, const FileId &fid) {
    std::vector<uint8_t> b;
    put16(&b, 24);
    put16(&b, 0);  // flags: no attributes wanted back
    put32(&b, 0);
    put_fid(&b, fid);
    Reply r;
    call_sync(tree->conn, tree, kClose, std::move(b), 1, &r);
    return r.status;
}

}  // namespace smb
