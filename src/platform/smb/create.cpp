// CREATE: opens or makes a file. No oplock and no lease is ever asked for, so nothing of
// the file is cached here: every lock and every byte goes to the server.
#include "transport.h"

namespace smb {

namespace {
constexpr uint32_t kImpersonation = 2;
}

uint32_t parse_create(const std::vector<uint8_t> &body, CreateResult *out) {
    if (body.size() < 88 || get16(body.data()) != 89) return kInvalidNetworkResponse;
    const uint8_t *b = body.data();
    out->action = get32(b + 4);
    out->end_of_file = get64(b + 48);
    out->attributes = get32(b + 56);
    out->fid.persistent = get64(b + 64);
    out->fid.volatile_id = get64(b + 72);
    return kSuccess;
}

uint32_t create(Tree *tree, const CreateArgs &args, CreateResult *out) {
    if (args.name.size() > 0x7FFF) return 0xC0000033;  // STATUS_OBJECT_NAME_INVALID
    std::vector<uint8_t> b;
    put16(&b, 57);
    b.push_back(0);  // security flags
    b.push_back(0);  // oplock level: none
    put32(&b, kImpersonation);
    put64(&b, 0);  // create flags
    put64(&b, 0);
    put32(&b, args.access);
    put32(&b, args.attributes);
    put32(&b, args.share);
    put32(&b, args.disposition);
    put32(&b, args.options);
    put16(&b, static_cast<uint16_t>(kHeaderSize + 56));
    put16(&b, static_cast<uint16_t>(args.name.size() * 2));
    put32(&b, 0);  // no create contexts
    put32(&b, 0);
    for (char16_t ch : args.name) put16(&b, static_cast<uint16_t>(ch));
    if (args.name.empty()) b.push_back(0);  // the buffer is never empty
    Reply r;
    call_sync(tree->conn, tree, kCreate, std::move(b), 1, &r);
    if (r.status != kSuccess) return r.status;
    return parse_create(r.body, out);
}

}  // namespace smb
