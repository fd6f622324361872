// SET_INFO: here only the file's delete disposition, as DeleteFileA sets it.
#include "transport.h"

namespace smb {

namespace {
constexpr uint8_t kInfoFile = 1;
constexpr uint8_t kFileDispositionInformation = 13;
}  // namespace

uint32_t set_delete_pending(Tree *tree, const FileId &fid) {
    std::vector<uint8_t> b;
    put16(&b, 33);
    b.push_back(kInfoFile);
    b.push_back(kFileDispositionInformation);
    put32(&b, 1);  // buffer length
    put16(&b, static_cast<uint16_t>(kHeaderSize + 32));
    put16(&b, 0);
    put32(&b, 0);  // additional information
    put_fid(&b, fid);
    b.push_back(1);  // DeletePending
    Reply r;
    call_sync(tree->conn, tree, kSetInfo, std::move(b), 1, &r);
    return r.status;
}

}  // namespace smb
