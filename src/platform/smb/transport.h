// What the client's files share about a connection: its record, the byte order of the
// wire and the framing and dispatch entry points.
#pragma once

#include "client.h"
#include "crypto.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace smb {

constexpr size_t kHeaderSize = 64;
// Flags of the header.
constexpr uint32_t kFlagResponse = 0x1;
constexpr uint32_t kFlagAsync = 0x2;
constexpr uint32_t kFlagRelated = 0x4;
constexpr uint32_t kFlagSigned = 0x8;
constexpr uint64_t kNoMessageId = UINT64_MAX;  // oplock breaks

// Dialects.
constexpr uint16_t kSmb202 = 0x0202, kSmb210 = 0x0210, kSmb300 = 0x0300, kSmb302 = 0x0302, kSmb311 = 0x0311;

// Little-endian fields.
inline void put16(std::vector<uint8_t> *b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t> *b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
inline void put64(std::vector<uint8_t> *b, uint64_t v) {
    put32(b, static_cast<uint32_t>(v));
    put32(b, static_cast<uint32_t>(v >> 32));
}
inline void set16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void set32(uint8_t *p, uint32_t v) {
    set16(p, static_cast<uint16_t>(v));
    set16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void set64(uint8_t *p, uint64_t v) {
    set32(p, static_cast<uint32_t>(v));
    set32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t *p) { return get16(p) | (static_cast<uint32_t>(get16(p + 2)) << 16); }
inline uint64_t get64(const uint8_t *p) { return get32(p) | (static_cast<uint64_t>(get32(p + 4)) << 32); }
inline void put_fid(std::vector<uint8_t> *b, const FileId &f) {
    put64(b, f.persistent);
    put64(b, f.volatile_id);
}

using Clock = std::chrono::steady_clock;

struct Call {
    std::atomic<int> refs{2};  // the starter's and the connection's
    Conn *conn = nullptr;
    uint16_t cmd = 0;
    uint64_t msg_id = 0;
    uint64_t async_id = 0;
    bool has_async = false;    // an interim response said it pends
    bool cancel_sent = false;
    bool done = false;         // guarded by the connection's mutex
    Clock::time_point deadline{};  // Clock::time_point::max(): waits as long as it takes
    Reply reply;
    OnDone cb = nullptr;
    void *arg = nullptr;
    bool encrypted = false;          // sent transformed: so is its cancel
    bool keep_raw = false;           // the set-up wants the response's bytes
    std::vector<uint8_t> raw;        // header and body, unsigned as received
    uint32_t raw_flags = 0;
};

// One TCP connection with its one session. Kept for the life of the process once made;
// when it dies, every call on it ends and later look-ups make a new one.
struct Conn {
    std::string host;
    uint16_t port = 445;
    int fd = -1;

    std::mutex mu;               // guards what follows, up to the session's keys
    std::condition_variable cv;  // calls ending, credits arriving
    bool dead = false;
    uint32_t dead_status = kSuccess;
    Clock::time_point died{};
    uint64_t next_msg_id = 0;
    uint64_t credits = 1;  // message ids we may still use
    std::map<uint64_t, Call *> calls;
    std::vector<Tree *> trees;

    std::mutex send_mu;  // one message at a time on the socket; also orders ids on the wire

    // Set during the set-up, read-only afterwards.
    uint16_t dialect = 0;
    uint32_t max_read = 65536, max_write = 65536;
    bool server_requires_signing = false;
    uint64_t session_id = 0;
    bool sign = false;  // every request after the set-up is signed
    bool has_key = false;  // the session has a key (not a guest's): 3.1.1 signs its tree connects
    uint8_t signing_key[16] = {};
    bool can_encrypt = false;
    bool encrypt_all = false;  // the session wants every request encrypted
    Cipher cipher = kAes128Ccm;
    uint8_t enc_key[16] = {};  // client to server
    uint8_t dec_key[16] = {};  // server to client
    uint64_t nonce_counter = 0;
    uint8_t nonce_base[4] = {};
    bool established = false;  // the set-up is over: responses are checked against it
    uint8_t preauth[64] = {};  // 3.1.1: the connection's hash after NEGOTIATE
};

// Bounds of waiting (no answer at all; an answer to a cancel; a pending non-lock request).
constexpr std::chrono::seconds kReplyBound{10};
constexpr std::chrono::seconds kCancelBound{5};
constexpr std::chrono::seconds kPendingBound{60};

// Opens the TCP connection and starts the reader; kSuccess or a client-side status
// (kIoTimeout: nothing answered the connect within its bound).
uint32_t conn_open(Conn *c);
// Ends the connection (if not already) with status for every call still open.
void conn_fail(Conn *c, uint32_t status);
// Sends one request; the set-up's requests go through it too. The message sent (after
// signing, before encryption) is copied to *sent, and the response kept raw, when sent
// is given.
Call *call_send(Conn *c, uint32_t tree_id, bool encrypt, Command cmd, std::vector<uint8_t> body,
                uint32_t credit_charge, OnDone cb, void *arg, std::vector<uint8_t> *sent);
// A connection without a socket or reader, for the fuzz target.
Conn *conn_for_test();

// One frame as read from the socket (without its 4-byte length): decrypted when
// transformed, split into its chain, each response dispatched to its call. false when
// the frame breaks the protocol (the caller then ends the connection). Exposed for the
// fuzz target, which feeds a connection without a socket.
bool receive_frame(Conn *c, const uint8_t *data, size_t len);
// The session set-up (session.cpp): NEGOTIATE, SESSION_SETUP, and TREE_CONNECT.
uint32_t session_setup(Conn *c);
uint32_t tree_connect(Conn *c, const std::string &share, Tree **out);

// The 64-byte header of a request (async_or_tree: the async id when flags say async,
// else the tree id).
void build_header(std::vector<uint8_t> *m, Conn *c, Command cmd, uint32_t charge, uint16_t credit_ask,
                  uint32_t flags, uint64_t msg_id, uint64_t async_or_tree, uint64_t session_id);
// Signs (sign) or encrypts (encrypt) and sends one message; false when it could not go
// out, and the caller then ends the connection.
bool transmit(Conn *c, std::vector<uint8_t> *msg, bool sign, bool encrypt, std::vector<uint8_t> *sent);

// The signature of one message (its signature field taken as zero) under the
// connection's dialect and key.
void sign_message(const Conn *c, const uint8_t *msg, size_t len, uint8_t sig[16]);

}  // namespace smb
