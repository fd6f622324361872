// QUERY_INFO: here only the file's end (FileStandardInformation), for a file pointer
// moved relative to it.
#include "transport.h"

namespace smb {

namespace {
constexpr uint8_t kInfoFile = 1;
constexpr uint8_t kFileStandardInformation = 5;
constexpr uint32_t kStandardSize = 24;
}  // namespace

uint32_t parse_query_end_of_file(const std::vector<uint8_t> &body, uint64_t *eof) {
    if (body.size() < 8 || get16(body.data()) != 9) return kInvalidNetworkResponse;
    uint32_t off = get16(body.data() + 2);
    uint32_t len = get32(body.data() + 4);
    if (off < kHeaderSize || len < 16) return kInvalidNetworkResponse;
    size_t at = off - kHeaderSize;
    if (at > body.size() || body.size() - at < 16) return kInvalidNetworkResponse;
    *eof = get64(body.data() + at + 8);
    return kSuccess;
}

uint32_t query_end_of_file(Tree *tree, const FileId &fid, uint64_t *eof) {
    std::vector<uint8_t> b;
    put16(&b, 41);
    b.push_back(kInfoFile);
    b.push_back(kFileStandardInformation);
    put32(&b, kStandardSize);
    put16(&b, 0);  // no input buffer
    put16(&b, 0);
    put32(&b, 0);
    put32(&b, 0);  // additional information
    put32(&b, 0);  // flags
    put_fid(&b, fid);
    b.push_back(0);  // the buffer is never empty
    Reply r;
    call_sync(tree->conn, tree, kQueryInfo, std::move(b), 1, &r);
    if (r.status != kSuccess) return r.status;
    return parse_query_end_of_file(r.body, eof);
}

}  // namespace smb
