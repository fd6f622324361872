// Fuzz target: what an SMB server (or anyone on the path to it) can send the client.
// The first byte picks the part under test:
//   0..3  frames fed to a connection that has eight calls outstanding (reads, writes,
//         waiting locks, a CREATE kept raw), with signing and encryption off (0), signing
//         on (1), encryption on (2) or both (3): framing, chains, credits, interim and
//         async responses, error responses;
//   4     the server's SPNEGO token that carries the NTLM challenge;
//   5     the body of a CREATE, READ, WRITE and QUERY_INFO response.
// Frames are a two-byte little-endian length and that many bytes. Properties: no
// memory error, no read past a buffer, every call ends exactly once, a READ never
// reports more bytes than it asked for.
#include "platform/smb/auth.h"
#include "platform/smb/transport.h"

#include <stdlib.h>
#include <string.h>

namespace {

struct Outcome {
    int ends = 0;
    uint32_t bytes = 0;
    uint32_t asked = 0;
};

void on_io(void *arg, uint32_t, uint32_t bytes) {
    Outcome *o = static_cast<Outcome *>(arg);
    ++o->ends;
    o->bytes = bytes;
}

void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FUZZ PROPERTY: %s\n", what);
        abort();
    }
}

void frames(uint8_t mode, const uint8_t *p, size_t n) {
    smb::Conn *c = smb::conn_for_test();
    c->established = true;
    c->sign = (mode & 1) != 0;
    c->can_encrypt = (mode & 2) != 0;
    c->encrypt_all = (mode & 2) != 0;
    c->cipher = (n & 1) ? smb::kAes128Gcm : smb::kAes128Ccm;
    memset(c->signing_key, 0x11, 16);
    memset(c->dec_key, 0x22, 16);
    smb::Tree tree;
    tree.conn = c;
    tree.tree_id = 1;
    static uint8_t bufs[8][64];
    Outcome out[8];
    smb::Call *calls[8];
    smb::FileId fid;
    for (int i = 0; i < 8; ++i) {
        out[i].asked = 1 + i * 8;
        switch (i % 3) {
            case 0: calls[i] = smb::read_start(&tree, fid, 0, out[i].asked, bufs[i], on_io, &out[i]); break;
            case 1: calls[i] = smb::write_start(&tree, fid, 0, bufs[i], out[i].asked, on_io, &out[i]); break;
            default: calls[i] = smb::lock_start(&tree, fid, i, 1, smb::kLockExclusive, on_io, &out[i]); break;
        }
    }
    while (n >= 2) {
        size_t len = p[0] | (p[1] << 8);
        p += 2;
        n -= 2;
        if (len > n) len = n;
        if (!smb::receive_frame(c, p, len)) break;
        p += len;
        n -= len;
    }
    smb::conn_fail(c, smb::kConnectionDisconnected);
    for (int i = 0; i < 8; ++i) {
        check(smb::call_done(calls[i]), "a call outlived its connection");
        check(out[i].ends == 1, "a call ended other than once");
        if (i % 3 == 0) check(out[i].bytes <= out[i].asked, "a read reported more than it asked for");
        smb::call_release(calls[i]);
    }
    delete c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const uint8_t *p = data + 1;
    const size_t n = size - 1;
    if (mode < 4) {
        frames(mode, p, n);
    } else if (mode == 4) {
        smb::NtlmContext ctx;
        smb::auth_first_token(&ctx);
        smb::Credentials cred;
        cred.guest = false;
        cred.user = "user";
        cred.password = "secret";
        std::vector<uint8_t> token;
        uint8_t key[16];
        smb::auth_second_token(&ctx, cred, p, n, &token, key);
    } else if (mode == 5) {
        std::vector<uint8_t> body(p, p + n);
        smb::CreateResult cr;
        smb::parse_create(body, &cr);
        uint8_t dst[32];
        uint32_t got = 0;
        if (smb::parse_read(body, sizeof dst, dst, &got) == smb::kSuccess) check(got <= sizeof dst, "read overran");
        uint32_t count;
        smb::parse_write(body, &count);
        uint64_t eof;
        smb::parse_query_end_of_file(body, &eof);
    }
    return 0;
}
