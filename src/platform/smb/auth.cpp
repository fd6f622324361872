// NTLMv2 inside SPNEGO, as a Windows client logs on to a file server: NEGOTIATE in a
// NegTokenInit, then AUTHENTICATE (AV pairs, timestamp, MIC, key exchange) in a
// NegTokenResp with its mechListMIC.
//
// Everything read here comes from the network: parse_challenge and
// spnego_response_token check every length against what is left before they look, and
// auth_second_token reads the blob through them only (a fuzz target feeds it directly).
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <nettle/arcfour.h>
#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <nettle/md5.h>

#include "auth.h"
#include "client.h"
#include "crypto.h"
#include "ntlm_internal.h"

namespace smb {

namespace {

// NEGOTIATE flags.
constexpr uint32_t kUnicode = 0x00000001;
constexpr uint32_t kRequestTarget = 0x00000004;
constexpr uint32_t kSign = 0x00000010;
constexpr uint32_t kNtlm = 0x00000200;
constexpr uint32_t kAlwaysSign = 0x00008000;
constexpr uint32_t kExtendedSessionSecurity = 0x00080000;
constexpr uint32_t kTargetInfo = 0x00800000;
constexpr uint32_t kVersion = 0x02000000;
constexpr uint32_t k128 = 0x20000000;
constexpr uint32_t kKeyExchange = 0x40000000;
constexpr uint32_t k56 = 0x80000000;
// What we ask for. SIGN: the mechListMIC is an NTLM signature, and SMB signing needs the
// key in any case. No SEAL: SMB encrypts by itself.
constexpr uint32_t kOurFlags = kUnicode | kRequestTarget | kSign | kNtlm | kAlwaysSign | kExtendedSessionSecurity |
                               kTargetInfo | kVersion | k128 | kKeyExchange | k56;

// AV pair ids.
constexpr uint16_t kAvEol = 0;
constexpr uint16_t kAvFlags = 6;
constexpr uint16_t kAvTimestamp = 7;
constexpr uint32_t kAvFlagMic = 0x2;

constexpr size_t kAuthHeader = 88;  // fixed fields, Version and MIC
constexpr size_t kMicOff = 72;

const uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
// Windows 10 (10.0.19041), NTLM revision 15: informational only.
const uint8_t kVersionBytes[8] = {10, 0, 0x61, 0x4a, 0, 0, 0, 15};
const uint8_t kSpnegoOid[] = {0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
// MechTypeList: SEQUENCE { NTLMSSP 1.3.6.1.4.1.311.2.2.10 }; the mechListMIC covers these bytes.
const uint8_t kMechTypes[] = {0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};

uint32_t le16(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }
uint64_t le64(const uint8_t *p) { return (uint64_t)le32(p) | (uint64_t)le32(p + 4) << 32; }
void put16(std::vector<uint8_t> *v, uint32_t x) {
    v->push_back((uint8_t)x);
    v->push_back((uint8_t)(x >> 8));
}
void put32(std::vector<uint8_t> *v, uint32_t x) {
    put16(v, x);
    put16(v, x >> 16);
}
void put64(std::vector<uint8_t> *v, uint64_t x) {
    put32(v, (uint32_t)x);
    put32(v, (uint32_t)(x >> 32));
}
void append(std::vector<uint8_t> *v, const uint8_t *p, size_t n) { v->insert(v->end(), p, p + n); }
void append(std::vector<uint8_t> *v, const std::vector<uint8_t> &w) { v->insert(v->end(), w.begin(), w.end()); }

void wipe(void *p, size_t n) {
    if (n) explicit_bzero(p, n);
}
void wipe(std::vector<uint8_t> *v) {
    wipe(v->data(), v->size());
    v->clear();
}

void hmac_md5(const uint8_t *key, size_t key_len, const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len,
              uint8_t out[16]) {
    hmac_md5_ctx ctx;
    hmac_md5_set_key(&ctx, key_len, key);
    hmac_md5_update(&ctx, a_len, a);
    hmac_md5_update(&ctx, b_len, b);
    hmac_md5_digest(&ctx, 16, out);
    wipe(&ctx, sizeof ctx);
}

void md5_two(const uint8_t *a, size_t a_len, const char *magic, uint8_t out[16]) {
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, a_len, a);
    md5_update(&ctx, strlen(magic) + 1, (const uint8_t *)magic);  // the NUL is part of it
    md5_digest(&ctx, 16, out);
    wipe(&ctx, sizeof ctx);
}

// ---- DER, as much as SPNEGO needs ----

void der(std::vector<uint8_t> *out, uint8_t tag, const std::vector<uint8_t> &content) {
    out->push_back(tag);
    size_t n = content.size();
    if (n < 0x80) {
        out->push_back((uint8_t)n);
    } else {
        int bytes = n > 0xffffff ? 4 : n > 0xffff ? 3 : n > 0xff ? 2 : 1;
        out->push_back((uint8_t)(0x80 | bytes));
        for (int i = bytes - 1; i >= 0; i--) out->push_back((uint8_t)(n >> (8 * i)));
    }
    append(out, content);
}
std::vector<uint8_t> der(uint8_t tag, const std::vector<uint8_t> &content) {
    std::vector<uint8_t> v;
    der(&v, tag, content);
    return v;
}

// One TLV at p[0..n): its tag, content, and the bytes it takes. Definite lengths only.
bool der_read(const uint8_t *p, size_t n, uint8_t *tag, const uint8_t **content, size_t *len, size_t *used) {
    if (n < 2) return false;
    *tag = p[0];
    size_t at = 2, l = p[1];
    if (l & 0x80) {
        size_t bytes = l & 0x7f;
        if (bytes == 0 || bytes > 4 || n - 2 < bytes) return false;
        l = 0;
        for (size_t i = 0; i < bytes; i++) l = (l << 8) | p[2 + i];
        at += bytes;
    }
    if (l > n - at) return false;
    *content = p + at;
    *len = l;
    *used = at + l;
    return true;
}

std::string host_name() {
    char buf[256];
    if (gethostname(buf, sizeof buf) != 0) return std::string();
    buf[sizeof buf - 1] = '\0';
    std::string s(buf, strcspn(buf, "."));
    for (char &c : s) {
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    }
    return s;
}

uint64_t filetime_now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ((uint64_t)ts.tv_sec + 11644473600ULL) * 10000000ULL + (uint64_t)ts.tv_nsec / 100;
}

uint32_t upcase(uint32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xe0 && c <= 0xfe && c != 0xf7) || (c >= 0x3b1 && c <= 0x3c9 && c != 0x3c2) ||
        (c >= 0x430 && c <= 0x44f) || (c >= 0xff41 && c <= 0xff5a))
        return c - 0x20;
    if (c == 0xff) return 0x178;
    if (c >= 0x450 && c <= 0x45f) return c - 0x50;
    return c;
}

// The AV pairs for the blob: the server's, with MsvAvFlags saying a MIC follows when
// there is one. The pairs were checked by parse_challenge.
std::vector<uint8_t> blob_pairs(const std::vector<uint8_t> &server, bool mic) {
    std::vector<uint8_t> out;
    bool have_flags = false;
    size_t at = 0;
    while (at + 4 <= server.size()) {
        uint32_t id = le16(&server[at]), len = le16(&server[at + 2]);
        if (id == kAvEol || at + 4 + len > server.size()) break;
        size_t start = out.size();
        append(&out, &server[at], 4 + len);
        if (id == kAvFlags && len == 4 && mic) {
            uint32_t f = le32(&out[start + 4]) | kAvFlagMic;
            for (int i = 0; i < 4; i++) out[start + 4 + i] = (uint8_t)(f >> (8 * i));
            have_flags = true;
        }
        at += 4 + len;
    }
    if (mic && !have_flags) {
        put16(&out, kAvFlags);
        put16(&out, 4);
        put32(&out, kAvFlagMic);
    }
    put32(&out, 0);  // MsvAvEOL
    return out;
}

// GSS_GetMIC of NTLM with extended session security, sequence number 0 on a fresh
// sealing handle: what the mechListMIC carries.
void ntlm_mic_signature(const uint8_t exported[16], uint32_t flags, const uint8_t *msg, size_t len,
                        uint8_t out[16]) {
    uint8_t sign_key[16], seal_key[16], mac[16];
    md5_two(exported, 16, "session key to client-to-server signing key magic constant", sign_key);
    size_t seal_len = (flags & k128) ? 16 : (flags & k56) ? 7 : 5;
    md5_two(exported, seal_len, "session key to client-to-server sealing key magic constant", seal_key);
    const uint8_t seq[4] = {0, 0, 0, 0};
    hmac_md5(sign_key, 16, seq, 4, msg, len, mac);
    memset(out, 0, 16);
    out[0] = 1;  // version
    if (flags & kKeyExchange) ntlm::rc4(seal_key, mac, 8, out + 4);
    else memcpy(out + 4, mac, 8);
    wipe(sign_key, 16);
    wipe(seal_key, 16);
    wipe(mac, 16);
}

}  // namespace

namespace ntlm {

std::vector<uint8_t> utf16le(const std::string &s, bool upper) {
    std::vector<uint8_t> out;
    out.reserve(s.size() * 2);
    const uint8_t *p = (const uint8_t *)s.data();
    size_t n = s.size(), i = 0;
    while (i < n) {
        uint32_t c = p[i], cp = 0xfffd;
        size_t need = 0;
        uint8_t lo = 0x80, hi = 0xbf;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xc2 && c <= 0xdf) {
            need = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            need = 2;
            cp = c & 0x0f;
            if (c == 0xe0) lo = 0xa0;  // overlong
            if (c == 0xed) hi = 0x9f;  // surrogates
        } else if (c >= 0xf0 && c <= 0xf4) {
            need = 3;
            cp = c & 0x07;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        }
        i++;
        if (need) {
            size_t k = 0;
            for (; k < need && i < n; k++, i++) {
                uint8_t b = p[i];
                if (b < (k == 0 ? lo : 0x80) || b > (k == 0 ? hi : 0xbf)) break;
                cp = (cp << 6) | (b & 0x3f);
            }
            if (k < need) cp = 0xfffd;  // the byte that broke the sequence starts the next one
        } else if (c >= 0x80) {
            cp = 0xfffd;
        }
        if (upper) cp = upcase(cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put16(&out, 0xd800 | (cp >> 10));
            put16(&out, 0xdc00 | (cp & 0x3ff));
        } else {
            put16(&out, cp);
        }
    }
    return out;
}

void nt_hash(const std::string &password, uint8_t out[16]) {
    std::vector<uint8_t> pw = utf16le(password);
    md4_ctx ctx;
    md4_init(&ctx);
    md4_update(&ctx, pw.size(), pw.data());
    md4_digest(&ctx, 16, out);
    wipe(&ctx, sizeof ctx);
    wipe(&pw);
}

void ntowf_v2(const std::string &user, const std::string &domain, const std::string &password, uint8_t out[16]) {
    uint8_t hash[16];
    nt_hash(password, hash);
    std::vector<uint8_t> u = utf16le(user, true), d = utf16le(domain);
    hmac_md5(hash, 16, u.data(), u.size(), d.data(), d.size(), out);
    wipe(hash, 16);
}

bool parse_challenge(const uint8_t *p, size_t n, Challenge *out) {
    *out = Challenge();
    if (p == nullptr || n < 48 || memcmp(p, kSignature, 8) != 0 || le32(p + 8) != 2) return false;
    uint64_t name_len = le16(p + 12), name_off = le32(p + 16);
    if (name_off + name_len > n) return false;
    out->flags = le32(p + 20);
    memcpy(out->server_challenge, p + 24, 8);
    uint64_t info_len = le16(p + 40), info_off = le32(p + 44);
    if (info_off + info_len > n) return false;
    const uint8_t *info = p + info_off;
    size_t at = 0;
    bool eol = info_len == 0;
    while (!eol) {
        if (info_len - at < 4) return false;
        uint32_t id = le16(info + at), len = le16(info + at + 2);
        if (info_len - at - 4 < len) return false;
        if (id == kAvTimestamp && len == 8) {
            out->has_time = true;
            out->time = le64(info + at + 4);
        }
        at += 4 + len;
        eol = id == kAvEol;
    }
    out->target_info.assign(info, info + at);
    return true;
}

void v2_responses(const uint8_t response_key[16], const uint8_t server_challenge[8],
                  const uint8_t client_challenge[8], uint64_t time, const std::vector<uint8_t> &av_pairs,
                  std::vector<uint8_t> *nt, uint8_t lm[24], uint8_t session_base_key[16]) {
    std::vector<uint8_t> temp = {1, 1, 0, 0, 0, 0, 0, 0};
    put64(&temp, time);
    append(&temp, client_challenge, 8);
    put32(&temp, 0);
    append(&temp, av_pairs);
    put32(&temp, 0);
    uint8_t proof[16];
    hmac_md5(response_key, 16, server_challenge, 8, temp.data(), temp.size(), proof);
    nt->assign(proof, proof + 16);
    append(nt, temp);
    hmac_md5(response_key, 16, server_challenge, 8, client_challenge, 8, lm);
    memcpy(lm + 16, client_challenge, 8);
    hmac_md5(response_key, 16, proof, 16, nullptr, 0, session_base_key);
}

void rc4(const uint8_t key[16], const uint8_t *in, size_t n, uint8_t *out) {
    arcfour_ctx ctx;
    arcfour128_set_key(&ctx, key);
    arcfour_crypt(&ctx, n, out, in);
    wipe(&ctx, sizeof ctx);
}

bool spnego_response_token(const uint8_t *blob, size_t len, const uint8_t **token, size_t *token_len) {
    uint8_t tag;
    const uint8_t *body, *seq;
    size_t body_len, seq_len, used;
    if (blob == nullptr || !der_read(blob, len, &tag, &body, &body_len, &used) || tag != 0xa1) return false;
    if (!der_read(body, body_len, &tag, &seq, &seq_len, &used) || tag != 0x30) return false;
    bool found = false;
    while (seq_len > 0) {
        const uint8_t *field, *inner;
        size_t field_len, inner_len, inner_used;
        if (!der_read(seq, seq_len, &tag, &field, &field_len, &used)) return false;
        seq += used;
        seq_len -= used;
        if (tag == 0xa0) {  // negState
            uint8_t t;
            if (!der_read(field, field_len, &t, &inner, &inner_len, &inner_used) || t != 0x0a || inner_len != 1)
                return false;
            if (inner[0] == 2) return false;  // reject
        } else if (tag == 0xa2) {  // responseToken
            uint8_t t;
            if (!der_read(field, field_len, &t, &inner, &inner_len, &inner_used) || t != 0x04) return false;
            *token = inner;
            *token_len = inner_len;
            found = true;
        }
    }
    return found;
}

uint32_t second_token(NtlmContext *ctx, const Credentials &cred, const uint8_t *blob, size_t len,
                      const Inputs &in, std::vector<uint8_t> *out, uint8_t session_key[16]) {
    out->clear();
    memset(session_key, 0, 16);
    const uint8_t *token;
    size_t token_len;
    Challenge ch;
    if (!spnego_response_token(blob, len, &token, &token_len) || !parse_challenge(token, token_len, &ch))
        return kInvalidNetworkResponse;
    uint32_t flags = ch.flags & kOurFlags;
    if (!(flags & kUnicode) || !(flags & kNtlm)) return kInvalidNetworkResponse;
    ctx->challenge.assign(token, token + token_len);
    ctx->flags = flags;

    // A guest proves nothing (the server maps the unknown name and has no key to check a
    // MIC with): no MIC, and no session key for the caller to sign with.
    bool guest = cred.guest;
    bool mic = !guest;
    const std::string user = guest ? std::string("Guest") : cred.user;
    const std::string domain = guest ? std::string() : cred.domain;
    uint8_t key[16], base[16], lm[24], exported[16], encrypted[16];
    ntowf_v2(user, domain, guest ? std::string() : cred.password, key);
    std::vector<uint8_t> nt;
    v2_responses(key, ch.server_challenge, in.client_challenge, ch.has_time ? ch.time : in.now,
                 blob_pairs(ch.target_info, mic), &nt, lm, base);
    // With the server's time in the blob, Windows sends an all-zero LMv2 response.
    if (ch.has_time) memset(lm, 0, sizeof lm);
    // NTLMv2: the key exchange key is the session base key.
    bool exchange = (flags & kKeyExchange) != 0;
    if (exchange) {
        memcpy(exported, in.exported_key, 16);
        rc4(base, exported, 16, encrypted);
    } else {
        memcpy(exported, base, 16);
    }

    std::vector<uint8_t> d = utf16le(domain), u = utf16le(user), w = utf16le(in.workstation);
    std::vector<uint8_t> msg(kSignature, kSignature + 8);
    put32(&msg, 3);
    size_t off = kAuthHeader;
    struct Field {
        const uint8_t *p;
        size_t n;
    } fields[6] = {{lm, sizeof lm}, {nt.data(), nt.size()}, {d.data(), d.size()},
                   {u.data(), u.size()}, {w.data(), w.size()}, {encrypted, exchange ? 16u : 0u}};
    // Header order is LM, NT, domain, user, workstation, key; the payload puts the
    // names first, as Windows does.
    const int payload_order[6] = {2, 3, 4, 0, 1, 5};
    size_t offsets[6];
    for (int i : payload_order) {
        offsets[i] = off;
        off += fields[i].n;
    }
    for (int i = 0; i < 6; i++) {
        put16(&msg, (uint32_t)fields[i].n);
        put16(&msg, (uint32_t)fields[i].n);
        put32(&msg, (uint32_t)offsets[i]);
    }
    put32(&msg, flags);
    append(&msg, kVersionBytes, 8);
    msg.resize(kAuthHeader, 0);  // MIC, zero while it is computed
    for (int i : payload_order) append(&msg, fields[i].p, fields[i].n);

    std::vector<uint8_t> mech_mic;
    if (mic) {
        hmac_md5_ctx h;
        hmac_md5_set_key(&h, 16, exported);
        hmac_md5_update(&h, ctx->negotiate.size(), ctx->negotiate.data());
        hmac_md5_update(&h, ctx->challenge.size(), ctx->challenge.data());
        hmac_md5_update(&h, msg.size(), msg.data());
        hmac_md5_digest(&h, 16, &msg[kMicOff]);
        wipe(&h, sizeof h);
        if ((flags & kSign) && (flags & kExtendedSessionSecurity)) {
            mech_mic.resize(16);
            ntlm_mic_signature(exported, flags, kMechTypes, sizeof kMechTypes, mech_mic.data());
        }
    }

    std::vector<uint8_t> seq;
    der(&seq, 0xa2, der(0x04, msg));
    if (!mech_mic.empty()) der(&seq, 0xa3, der(0x04, mech_mic));
    der(out, 0xa1, der(0x30, seq));
    if (!guest) memcpy(session_key, exported, 16);

    wipe(key, sizeof key);
    wipe(base, sizeof base);
    wipe(exported, sizeof exported);
    wipe(&nt);
    wipe(&msg);
    wipe(&seq);
    return kSuccess;
}

}  // namespace ntlm

std::vector<uint8_t> auth_first_token(NtlmContext *ctx) {
    std::vector<uint8_t> neg(kSignature, kSignature + 8);
    put32(&neg, 1);
    put32(&neg, kOurFlags);
    neg.resize(neg.size() + 16, 0);  // no domain, no workstation
    append(&neg, kVersionBytes, 8);
    ctx->negotiate = neg;
    ctx->challenge.clear();
    ctx->flags = 0;

    std::vector<uint8_t> init;
    der(&init, 0xa0, std::vector<uint8_t>(kMechTypes, kMechTypes + sizeof kMechTypes));
    der(&init, 0xa2, der(0x04, neg));
    std::vector<uint8_t> body(kSpnegoOid, kSpnegoOid + sizeof kSpnegoOid);
    der(&body, 0xa0, der(0x30, init));
    return der(0x60, body);
}

uint32_t auth_second_token(NtlmContext *ctx, const Credentials &cred, const uint8_t *blob, size_t len,
                           std::vector<uint8_t> *out, uint8_t session_key[16]) {
    ntlm::Inputs in;
    random_bytes(in.client_challenge, sizeof in.client_challenge);
    random_bytes(in.exported_key, sizeof in.exported_key);
    in.now = filetime_now();
    in.workstation = host_name();
    uint32_t rc = ntlm::second_token(ctx, cred, blob, len, in, out, session_key);
    wipe(in.exported_key, sizeof in.exported_key);
    return rc;
}

}  // namespace smb
