// The session set-up: NEGOTIATE (2.0.2 to 3.1.1), SESSION_SETUP with NTLMv2 in SPNEGO,
// the keys of signing and encryption, TREE_CONNECT; and the process's one connection
// per server, found again by every later open.
#include "auth.h"
#include "ntlm_internal.h"
#include "transport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>

namespace smb {

namespace {

constexpr uint16_t kSigningEnabled = 0x1;
constexpr uint16_t kSigningRequired = 0x2;
constexpr uint32_t kCapEncryption = 0x40;
constexpr uint16_t kSessionGuest = 0x1;
constexpr uint16_t kSessionNull = 0x2;
constexpr uint16_t kSessionEncrypt = 0x4;
constexpr uint32_t kShareEncrypt = 0x8000;
constexpr uint16_t kContextPreauth = 1;
constexpr uint16_t kContextEncryption = 2;
constexpr uint32_t kIoCap = 65536;  // one credit per request, whatever the server allows

// Sends one set-up request and waits; *sent and *raw get the messages' bytes.
uint32_t exchange(Conn *c, Command cmd, std::vector<uint8_t> body, std::vector<uint8_t> *sent,
                  std::vector<uint8_t> *raw, uint32_t *raw_flags, Reply *reply) {
    Call *call = call_send(c, 0, c->encrypt_all, cmd, std::move(body), 1, nullptr, nullptr, sent);
    call_wait(call, reply);
    {
        std::lock_guard<std::mutex> lock(c->mu);
        *raw = call->raw;
        *raw_flags = call->raw_flags;
    }
    call_release(call);
    return reply->status;
}

// A buffer named by an offset from the header's start and a length, inside the body.
bool buffer_of(const std::vector<uint8_t> &body, uint32_t offset, uint32_t len, const uint8_t **p) {
    if (len == 0) {
        *p = nullptr;
        return true;
    }
    if (offset < kHeaderSize) return false;
    uint64_t at = offset - kHeaderSize;
    if (at > body.size() || len > body.size() - at) return false;
    *p = body.data() + at;
    return true;
}

uint32_t negotiate(Conn *c, std::vector<uint8_t> *blob) {
    static const uint16_t kDialects[] = {kSmb202, kSmb210, kSmb300, kSmb302, kSmb311};
    const size_t ndialects = sizeof kDialects / sizeof kDialects[0];
    std::vector<uint8_t> b;
    put16(&b, 36);
    put16(&b, static_cast<uint16_t>(ndialects));
    put16(&b, kSigningEnabled);
    put16(&b, 0);
    put32(&b, kCapEncryption);
    uint8_t guid[16];
    random_bytes(guid, sizeof guid);
    b.insert(b.end(), guid, guid + 16);
    const size_t context_at = b.size();
    put32(&b, 0);  // context offset, below
    put16(&b, 2);
    put16(&b, 0);
    for (uint16_t d : kDialects) put16(&b, d);
    while ((kHeaderSize + b.size()) % 8 != 0) b.push_back(0);
    set32(b.data() + context_at, static_cast<uint32_t>(kHeaderSize + b.size()));
    // Pre-authentication integrity: SHA-512 with a salt of 32 bytes.
    put16(&b, kContextPreauth);
    put16(&b, 38);
    put32(&b, 0);
    put16(&b, 1);
    put16(&b, 32);
    put16(&b, 1);
    uint8_t salt[32];
    random_bytes(salt, sizeof salt);
    b.insert(b.end(), salt, salt + 32);
    while ((kHeaderSize + b.size()) % 8 != 0) b.push_back(0);
    // Ciphers, the stronger first.
    put16(&b, kContextEncryption);
    put16(&b, 6);
    put32(&b, 0);
    put16(&b, 2);
    put16(&b, kAes128Gcm);
    put16(&b, kAes128Ccm);

    std::vector<uint8_t> sent, raw;
    uint32_t flags = 0;
    Reply r;
    uint32_t st = exchange(c, kNegotiate, std::move(b), &sent, &raw, &flags, &r);
    if (st != kSuccess) return st;
    const std::vector<uint8_t> &body = r.body;
    if (body.size() < 64 || get16(body.data()) != 65) return kInvalidNetworkResponse;
    const uint16_t mode = get16(body.data() + 2);
    const uint16_t dialect = get16(body.data() + 4);
    bool known = false;
    for (uint16_t d : kDialects) known = known || d == dialect;
    if (!known) return kNotSupported;
    const uint32_t caps = get32(body.data() + 24);
    const uint32_t max_read = std::min(kIoCap, get32(body.data() + 32));
    const uint32_t max_write = std::min(kIoCap, get32(body.data() + 36));
    if (max_read == 0 || max_write == 0) return kInvalidNetworkResponse;
    // The reader thread reads these while it checks what arrives.
    std::lock_guard<std::mutex> lock(c->mu);
    c->dialect = dialect;
    c->max_read = max_read;
    c->max_write = max_write;
    c->server_requires_signing = (mode & kSigningRequired) != 0;
    const uint8_t *sec;
    if (!buffer_of(body, get16(body.data() + 56), get16(body.data() + 58), &sec)) return kInvalidNetworkResponse;
    blob->assign(sec, sec + get16(body.data() + 58));
    if (c->dialect == kSmb300 || c->dialect == kSmb302) {
        c->can_encrypt = (caps & kCapEncryption) != 0;
        c->cipher = kAes128Ccm;
    }
    if (c->dialect == kSmb311) {
        preauth_update(c->preauth, sent.data(), sent.size());
        preauth_update(c->preauth, raw.data(), raw.size());
        uint32_t at = get32(body.data() + 60);
        uint16_t count = get16(body.data() + 6);
        if (at < kHeaderSize) return kInvalidNetworkResponse;
        size_t pos = at - kHeaderSize;
        for (uint16_t i = 0; i < count; ++i) {
            pos = (pos + 7) & ~static_cast<size_t>(7);
            if (pos > body.size() || body.size() - pos < 8) return kInvalidNetworkResponse;
            uint16_t type = get16(body.data() + pos);
            uint16_t len = get16(body.data() + pos + 2);
            if (body.size() - pos - 8 < len) return kInvalidNetworkResponse;
            const uint8_t *d = body.data() + pos + 8;
            if (type == kContextEncryption && len >= 4 && get16(d) >= 1) {
                uint16_t cipher = get16(d + 2);
                if (cipher == kAes128Ccm || cipher == kAes128Gcm) {
                    c->cipher = static_cast<Cipher>(cipher);
                    c->can_encrypt = true;
                }
            }
            pos += 8 + len;
        }
    }
    return kSuccess;
}

void derive_keys(Conn *c, const uint8_t session_key[16], const uint8_t hash[64]) {
#define LABEL(s) reinterpret_cast<const uint8_t *>(s), sizeof(s)
    if (c->dialect < kSmb300) {
        memcpy(c->signing_key, session_key, 16);
    } else if (c->dialect < kSmb311) {
        kdf_128(session_key, LABEL("SMB2AESCMAC"), LABEL("SmbSign"), c->signing_key);
        kdf_128(session_key, LABEL("SMB2AESCCM"), LABEL("ServerIn "), c->enc_key);
        kdf_128(session_key, LABEL("SMB2AESCCM"), LABEL("ServerOut"), c->dec_key);
    } else {
        kdf_128(session_key, LABEL("SMBSigningKey"), hash, 64, c->signing_key);
        kdf_128(session_key, LABEL("SMBC2SCipherKey"), hash, 64, c->enc_key);
        kdf_128(session_key, LABEL("SMBS2CCipherKey"), hash, 64, c->dec_key);
    }
#undef LABEL
}

std::vector<uint8_t> setup_body(const std::vector<uint8_t> &token) {
    std::vector<uint8_t> b;
    put16(&b, 25);
    b.push_back(0);
    b.push_back(static_cast<uint8_t>(kSigningEnabled));
    put32(&b, 0);
    put32(&b, 0);
    put16(&b, static_cast<uint16_t>(kHeaderSize + 24));
    put16(&b, static_cast<uint16_t>(token.size()));
    put64(&b, 0);
    b.insert(b.end(), token.begin(), token.end());
    return b;
}

// The process's credentials, read once. The password stays in a page kept out of core
// dumps, and the environment's copy is overwritten.
struct Secrets {
    bool loaded = false;
    int error = 0;
    Credentials cred;  // without the password
    char *password = nullptr;
};
Secrets g_secrets;

void scrub_env(const char *name) {
    char *v = getenv(name);
    if (v != nullptr) explicit_bzero(v, strlen(v));
    unsetenv(name);
}

int load_secrets() {
    Secrets &s = g_secrets;
    if (s.loaded) return s.error;
    s.loaded = true;
    std::string problem;
    s.error = credentials_load(&s.cred, &problem);
    scrub_env("KAVPROBE_SMB_PASSWORD");
    if (s.error != 0) {
        fprintf(stderr, "kavprobe: %s\n", problem.c_str());
        credentials_wipe(&s.cred);
        return s.error;
    }
    const size_t page = 4096;
    if (s.cred.password.size() >= page) {
        fprintf(stderr, "kavprobe: the SMB password is too long\n");
        credentials_wipe(&s.cred);
        return s.error = 87;
    }
    void *p = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return s.error = 8;
    madvise(p, page, MADV_DONTDUMP);
    s.password = static_cast<char *>(p);
    memcpy(s.password, s.cred.password.data(), s.cred.password.size());
    s.password[s.cred.password.size()] = 0;
    explicit_bzero(&s.cred.password[0], s.cred.password.size());
    s.cred.password.clear();
    s.cred.password.shrink_to_fit();
    return 0;
}

uint32_t authenticate(Conn *c, const std::vector<uint8_t> &negotiate_blob) {
    (void)negotiate_blob;  // the server's mechanisms: NTLMSSP is the one we speak
    if (load_secrets() != 0) return kLogonFailure;
    uint8_t hash[64];
    memcpy(hash, c->preauth, 64);
    NtlmContext ntlm;
    std::vector<uint8_t> sent, raw;
    uint32_t flags = 0;
    Reply r;
    uint32_t st = exchange(c, kSessionSetup, setup_body(auth_first_token(&ntlm)), &sent, &raw, &flags, &r);
    if (st != kMoreProcessing) return st == kSuccess ? kInvalidNetworkResponse : st;
    if (raw.size() < kHeaderSize || r.body.size() < 8 || get16(r.body.data()) != 9) return kInvalidNetworkResponse;
    c->session_id = get64(raw.data() + 40);
    if (c->dialect == kSmb311) {
        preauth_update(hash, sent.data(), sent.size());
        preauth_update(hash, raw.data(), raw.size());
    }
    const uint8_t *sec;
    if (!buffer_of(r.body, get16(r.body.data() + 4), get16(r.body.data() + 6), &sec)) return kInvalidNetworkResponse;

    std::vector<uint8_t> token;
    uint8_t session_key[16] = {};
    Credentials cred = g_secrets.cred;
    cred.password = g_secrets.password != nullptr ? g_secrets.password : "";
    st = auth_second_token(&ntlm, cred, sec, get16(r.body.data() + 6), &token, session_key);
    credentials_wipe(&cred);
    if (st != kSuccess) return st;
    st = exchange(c, kSessionSetup, setup_body(token), &sent, &raw, &flags, &r);
    explicit_bzero(token.data(), token.size());
    if (st != kSuccess) return st;
    if (raw.size() < kHeaderSize || r.body.size() < 8) return kInvalidNetworkResponse;
    if (c->dialect == kSmb311) preauth_update(hash, sent.data(), sent.size());
    const uint16_t session_flags = get16(r.body.data() + 2);
    const bool anonymous = (session_flags & (kSessionGuest | kSessionNull)) != 0;
    std::lock_guard<std::mutex> lock(c->mu);  // the reader thread checks what arrives by these
    if (!anonymous) {
        derive_keys(c, session_key, hash);
        explicit_bzero(session_key, sizeof session_key);
        // The server proves it knows the key by signing its last set-up answer; 3.1.1
        // requires the proof, earlier dialects offer it when they sign.
        const bool signed_reply = (flags & kFlagSigned) != 0;
        if (signed_reply) {
            std::vector<uint8_t> copy = raw;
            memset(copy.data() + 48, 0, 16);
            uint8_t sig[16];
            sign_message(c, copy.data(), copy.size(), sig);
            if (memcmp(sig, raw.data() + 48, 16) != 0) return kAccessDenied;
        } else if (c->dialect == kSmb311) {
            return kAccessDenied;
        }
        c->sign = c->server_requires_signing;
        c->has_key = true;
    } else if (c->server_requires_signing) {
        return kAccessDenied;  // a guest cannot sign, and the server wants every request signed
    }
    if (session_flags & kSessionEncrypt) {
        if (!c->can_encrypt || anonymous) return kAccessDenied;
        c->encrypt_all = true;
    }
    c->established = true;
    return kSuccess;
}

std::mutex g_registry_mu;
// Live and dead connections; the dead are left to their reader. Never destroyed: a
// reader may still run while the process exits.
std::vector<Conn *> &g_conns = *new std::vector<Conn *>;

uint32_t port_of_env(uint16_t *port) {
    const char *v = getenv("KAVPROBE_SMB_PORT");
    *port = 445;
    if (v == nullptr || *v == 0) return kSuccess;
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    if (*end != 0 || n < 1 || n > 65535) {
        fprintf(stderr, "kavprobe: KAVPROBE_SMB_PORT must be a port number (1-65535)\n");
        return kInvalidParameter;
    }
    *port = static_cast<uint16_t>(n);
    return kSuccess;
}

}  // namespace

uint32_t session_setup(Conn *c) {
    std::vector<uint8_t> blob;
    uint32_t st = negotiate(c, &blob);
    if (st != kSuccess) return st;
    return authenticate(c, blob);
}

uint32_t tree_connect(Conn *c, const std::string &share, Tree **out) {
    std::vector<uint8_t> b;
    const std::vector<uint8_t> path = ntlm::utf16le("\\\\" + c->host + "\\" + share);
    put16(&b, 9);
    put16(&b, 0);
    put16(&b, static_cast<uint16_t>(kHeaderSize + 8));
    put16(&b, static_cast<uint16_t>(path.size()));
    b.insert(b.end(), path.begin(), path.end());
    std::vector<uint8_t> sent, raw;
    uint32_t flags = 0;
    Reply r;
    uint32_t st = exchange(c, kTreeConnect, std::move(b), &sent, &raw, &flags, &r);
    if (st != kSuccess) return st;
    if (raw.size() < kHeaderSize || r.body.size() < 16 || get16(r.body.data()) != 16) return kInvalidNetworkResponse;
    Tree *t = new Tree;
    t->conn = c;
    t->tree_id = get32(raw.data() + 36);
    t->encrypt = (get32(r.body.data() + 4) & kShareEncrypt) != 0;
    t->share = share;
    if (t->encrypt && !c->can_encrypt) {
        delete t;
        return kAccessDenied;
    }
    std::lock_guard<std::mutex> lock(c->mu);
    c->trees.push_back(t);
    *out = t;
    return kSuccess;
}

namespace {

// A server that let a connect or a request run out of time is not tried again for a
// while: each new try would cost the whole bound again, and a tool that opens a file
// per step would wait minutes for a server that has stopped answering.
constexpr auto kUnansweredPause = std::chrono::seconds(30);
struct Unanswered {
    std::string host;
    uint16_t port;
    Clock::time_point when;
};
std::vector<Unanswered> &g_unanswered = *new std::vector<Unanswered>;

bool same_server(const std::string &a, uint16_t pa, const std::string &b, uint16_t pb) {
    return pa == pb && strcasecmp(a.c_str(), b.c_str()) == 0;
}

uint32_t tree_find(const std::string &host, const std::string &share, Tree **out) {
    uint16_t port;
    uint32_t st = port_of_env(&port);
    if (st != kSuccess) return st;
    const Clock::time_point now = Clock::now();
    for (const Unanswered &u : g_unanswered)
        if (same_server(u.host, u.port, host, port) && now - u.when < kUnansweredPause) return kBadNetworkPath;
    Conn *c = nullptr;
    for (Conn *k : g_conns) {
        std::lock_guard<std::mutex> lock(k->mu);
        if (!same_server(k->host, k->port, host, port)) continue;
        if (!k->dead) c = k;
        else if (k->dead_status == kIoTimeout && now - k->died < kUnansweredPause) return kBadNetworkPath;
    }
    if (c == nullptr) {
        c = new Conn;
        c->host = host;
        c->port = port;
        st = conn_open(c);
        if (st == kSuccess) {
            g_conns.push_back(c);
            st = session_setup(c);
            if (st != kSuccess) conn_fail(c, st == kIoTimeout ? kIoTimeout : kConnectionDisconnected);
        } else {
            delete c;  // no reader was started
        }
        if (st == kIoTimeout) {
            g_unanswered.push_back(Unanswered{host, port, Clock::now()});
            return kBadNetworkPath;
        }
        if (st != kSuccess) return st;
    }
    {
        std::lock_guard<std::mutex> lock(c->mu);
        for (Tree *t : c->trees) {
            if (strcasecmp(t->share.c_str(), share.c_str()) == 0) {
                *out = t;
                return kSuccess;
            }
        }
    }
    return tree_connect(c, share, out);
}

}  // namespace

uint32_t tree_get(const std::string &host, const std::string &share, Tree **out) {
    std::lock_guard<std::mutex> registry(g_registry_mu);
    return tree_find(host, share, out);
}

}  // namespace smb
