// Framing and dispatch: the TCP connection (4-byte length per message), message ids and
// credits, signing and encryption of what goes out and checks of what comes in, and the
// reader thread that hands each final response to its call. Interim responses only say
// that a call pends; a call that gets no answer within its bound ends the connection.
#include "transport.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace smb {

namespace {

constexpr size_t kMaxFrame = 0xFFFFFF;     // the 24-bit length of direct TCP
constexpr uint16_t kCreditAsk = 64;        // credits asked with each request
constexpr uint64_t kMaxCredits = 8192;     // never count more than a server grants
constexpr int kPollMs = 200;               // how often the reader looks at the bounds
constexpr auto kConnectBound = std::chrono::seconds(10);
constexpr size_t kTransformSize = 52;
constexpr int kDiscardFd = -2;  // a connection for the fuzz target: what it sends goes nowhere

void unref(Call *call) {
    if (call->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete call;
}

// Ends a call that the connection no longer holds: stores the reply, wakes waiters,
// runs the callback. Called without the connection's mutex.
void finish(Conn *c, Call *call, Reply reply) {
    OnDone cb;
    void *arg;
    {
        std::lock_guard<std::mutex> lock(c->mu);
        call->reply = std::move(reply);
        call->done = true;
        cb = call->cb;
        arg = call->arg;
    }
    c->cv.notify_all();
    if (cb != nullptr) cb(arg, call->reply);
    unref(call);  // the connection's reference
}

// Writes all of buf; false when the connection broke.
bool write_all(int fd, const uint8_t *buf, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// One response of a chain. false: it breaks the protocol.
bool dispatch(Conn *c, const uint8_t *m, size_t len, bool encrypted) {
    if (len < kHeaderSize || m[0] != 0xFE || m[1] != 'S' || m[2] != 'M' || m[3] != 'B' || get16(m + 4) != 64)
        return false;
    const uint32_t status = get32(m + 8);
    const uint16_t credits = get16(m + 14);
    const uint32_t flags = get32(m + 16);
    const uint64_t msg_id = get64(m + 24);
    if ((flags & kFlagResponse) == 0) return false;
    if (msg_id == kNoMessageId) return true;  // an oplock break: none is ever asked for
    const bool interim = status == kPending;

    std::unique_lock<std::mutex> lock(c->mu);
    // Once the session stands, a final response must carry the session's proof:
    // encryption when the session encrypts, else a signature when it signs.
    if (c->established && !interim) {
        if (c->encrypt_all && !encrypted) return false;
        if (c->sign && !encrypted && (flags & kFlagSigned) == 0) return false;
    }
    if ((flags & kFlagSigned) && !encrypted && c->sign) {
        std::vector<uint8_t> copy(m, m + len);
        memset(copy.data() + 48, 0, 16);
        uint8_t sig[16];
        sign_message(c, copy.data(), copy.size(), sig);
        if (memcmp(sig, m + 48, 16) != 0) return false;
    }
    c->credits = std::min<uint64_t>(c->credits + credits, kMaxCredits);
    if (credits) c->cv.notify_all();
    auto it = c->calls.find(msg_id);
    if (it == c->calls.end()) return true;  // a call already ended by its bound
    Call *call = it->second;
    if (interim) {
        call->has_async = (flags & kFlagAsync) != 0;
        if (call->has_async) call->async_id = get64(m + 32);
        // A waiting lock may wait for ever; only its cancel is bounded.
        if (call->cancel_sent)
            call->deadline = Clock::now() + kCancelBound;
        else if (call->cmd == kLock)
            call->deadline = Clock::time_point::max();
        else
            call->deadline = Clock::now() + kPendingBound;
        return true;
    }
    c->calls.erase(it);
    if (call->keep_raw) {
        call->raw.assign(m, m + len);
        call->raw_flags = flags;
    }
    lock.unlock();
    Reply reply;
    reply.status = status;
    reply.body.assign(m + kHeaderSize, m + len);
    finish(c, call, std::move(reply));
    return true;
}

void *reader_main(void *arg);

}  // namespace

void sign_message(const Conn *c, const uint8_t *msg, size_t len, uint8_t sig[16]) {
    if (c->dialect >= kSmb300)
        sign_aes_cmac(c->signing_key, msg, len, sig);
    else
        sign_hmac_sha256(c->signing_key, msg, len, sig);
}

void build_header(std::vector<uint8_t> *m, Conn *c, Command cmd, uint32_t charge, uint16_t credit_ask, uint32_t flags,
            uint64_t msg_id, uint64_t async_or_tree, uint64_t session_id) {
    static const uint8_t kProto[4] = {0xFE, 'S', 'M', 'B'};
    m->insert(m->end(), kProto, kProto + 4);
    put16(m, 64);
    put16(m, static_cast<uint16_t>(c->dialect == kSmb202 || c->dialect == 0 ? 0 : charge));
    put32(m, 0);  // status / channel sequence
    put16(m, cmd);
    put16(m, credit_ask);
    put32(m, flags);
    put32(m, 0);  // next command
    put64(m, msg_id);
    if (flags & kFlagAsync) {
        put64(m, async_or_tree);
    } else {
        put32(m, 0);  // process id
        put32(m, static_cast<uint32_t>(async_or_tree));
    }
    put64(m, session_id);
    m->insert(m->end(), 16, 0);  // signature
}

// Signs (when the session signs), encrypts (when asked) and sends one message. false
// when it could not go out; the caller then ends the connection.
bool transmit(Conn *c, std::vector<uint8_t> *msg, bool sign, bool encrypt, std::vector<uint8_t> *sent) {
    if (sign && !encrypt) {
        set32(msg->data() + 16, get32(msg->data() + 16) | kFlagSigned);
        sign_message(c, msg->data(), msg->size(), msg->data() + 48);
    }
    if (sent != nullptr) *sent = *msg;
    std::vector<uint8_t> out;
    out.reserve(msg->size() + kTransformSize + 4);
    out.resize(4);
    if (encrypt) {
        uint8_t nonce[12];
        std::lock_guard<std::mutex> lock(c->mu);
        uint64_t n = ++c->nonce_counter;
        set64(nonce, n);
        memcpy(nonce + 8, c->nonce_base, 4);
        std::vector<uint8_t> wrapped;
        encrypt_message(c->cipher, c->enc_key, c->session_id, nonce, msg->data(), msg->size(), &wrapped);
        out.insert(out.end(), wrapped.begin(), wrapped.end());
    } else {
        out.insert(out.end(), msg->begin(), msg->end());
    }
    size_t len = out.size() - 4;
    if (len > kMaxFrame) return false;
    out[0] = 0;
    out[1] = static_cast<uint8_t>(len >> 16);
    out[2] = static_cast<uint8_t>(len >> 8);
    out[3] = static_cast<uint8_t>(len);
    std::lock_guard<std::mutex> lock(c->send_mu);
    if (c->fd == kDiscardFd) return true;
    if (c->fd < 0) return false;
    return write_all(c->fd, out.data(), out.size());
}

bool receive_frame(Conn *c, const uint8_t *data, size_t len) {
    std::vector<uint8_t> plain;
    bool encrypted = false;
    if (len >= 4 && data[0] == 0xFD && data[1] == 'S' && data[2] == 'M' && data[3] == 'B') {
        if (!c->can_encrypt || !decrypt_message(c->cipher, c->dec_key, data, len, &plain)) return false;
        data = plain.data();
        len = plain.size();
        encrypted = true;
    }
    // A chain: each response starts at the previous one's NextCommand (8-aligned).
    size_t at = 0;
    for (;;) {
        if (len - at < kHeaderSize) return false;
        uint32_t next = get32(data + at + 20);
        size_t part = next == 0 ? len - at : next;
        if (next != 0 && (next < kHeaderSize || next > len - at || next % 8 != 0)) return false;
        if (!dispatch(c, data + at, part, encrypted)) return false;
        if (next == 0) return true;
        at += next;
    }
}

uint32_t conn_open(Conn *c) {
    c->nonce_counter = 0;
    random_bytes(c->nonce_base, sizeof c->nonce_base);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    std::string host = c->host;
    // [v6 literal]
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string port = std::to_string(c->port);
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || res == nullptr) return kBadNetworkPath;
    uint32_t status = kBadNetworkPath;
    for (struct addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) continue;
        int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
        int err = rc == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            int n = poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kConnectBound).count()));
            socklen_t sl = sizeof err;
            if (n <= 0)
                err = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &sl) != 0)
                err = errno;
        }
        if (err != 0) {
            ::close(fd);
            status = err == ENETUNREACH  ? kNetworkUnreachable
                     : err == EHOSTUNREACH ? kHostUnreachable
                     : err == ETIMEDOUT    ? kIoTimeout
                                           : kBadNetworkPath;
            continue;
        }
        int flags = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flags, sizeof flags);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &flags, sizeof flags);
        c->fd = fd;
        status = kSuccess;
        break;
    }
    freeaddrinfo(res);
    if (status != kSuccess) return status;
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&t, &attr, reader_main, c);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        ::close(c->fd);
        c->fd = -1;
        return kInsufficientResources;
    }
    return kSuccess;
}

void conn_fail(Conn *c, uint32_t status) {
    std::vector<std::pair<Call *, uint32_t>> ended;
    {
        std::lock_guard<std::mutex> lock(c->mu);
        if (c->dead) return;
        c->dead = true;
        c->dead_status = status;
        c->died = Clock::now();
        const Clock::time_point now = Clock::now();
        for (auto &kv : c->calls) {
            Call *call = kv.second;
            // The call that ran out of time says so; the others lost their connection.
            uint32_t st = status;
            if (status == kIoTimeout && now < call->deadline) st = kConnectionDisconnected;
            ended.emplace_back(call, st);
        }
        c->calls.clear();
    }
    c->cv.notify_all();
    {
        std::lock_guard<std::mutex> lock(c->send_mu);
        if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);  // the reader closes it
    }
    for (auto &e : ended) {
        Reply r;
        r.status = e.second;
        finish(c, e.first, std::move(r));
    }
}

Call *call_send(Conn *c, uint32_t tree_id, bool encrypt, Command cmd, std::vector<uint8_t> body,
                uint32_t credit_charge, OnDone cb, void *arg, std::vector<uint8_t> *sent) {
    Call *call = new Call;
    call->conn = c;
    call->cmd = cmd;
    call->cb = cb;
    call->arg = arg;
    call->encrypted = encrypt;
    call->keep_raw = sent != nullptr;
    const uint64_t need = std::max<uint32_t>(1, c->dialect == kSmb202 ? 1 : credit_charge);
    uint32_t early = kSuccess;
    {
        std::unique_lock<std::mutex> lock(c->mu);
        const Clock::time_point until = Clock::now() + kReplyBound;
        while (!c->dead && c->credits < need) {
            if (c->cv.wait_until(lock, until) == std::cv_status::timeout && c->credits < need) break;
        }
        if (c->dead) {
            early = kConnectionDisconnected;
        } else if (c->credits < need) {
            early = kIoTimeout;  // the server gives no credit back: it has stopped answering
        } else {
            call->msg_id = c->next_msg_id;
            c->next_msg_id += need;
            c->credits -= need;
            call->deadline = Clock::now() + kReplyBound;
            c->calls[call->msg_id] = call;
        }
    }
    if (early != kSuccess) {
        if (early == kIoTimeout) conn_fail(c, kIoTimeout);
        Reply r;
        r.status = early;
        finish(c, call, std::move(r));
        return call;
    }
    std::vector<uint8_t> msg;
    msg.reserve(kHeaderSize + body.size());
    uint16_t ask = static_cast<uint16_t>(std::max<uint64_t>(need, kCreditAsk));
    build_header(&msg, c, cmd, static_cast<uint32_t>(need), ask, 0, call->msg_id, tree_id, c->session_id);
    msg.insert(msg.end(), body.begin(), body.end());
    // 3.1.1 signs every tree connect of a session with a key, so that no one on the way
    // can strip the share's flags (encryption).
    const bool sign = c->sign || (cmd == kTreeConnect && c->dialect == kSmb311 && c->has_key);
    if (!transmit(c, &msg, sign, encrypt, sent)) conn_fail(c, kConnectionDisconnected);
    return call;
}

Conn *conn_for_test() {
    Conn *c = new Conn;
    c->fd = kDiscardFd;
    c->dialect = kSmb311;
    c->credits = 64;
    return c;
}

uint32_t conn_max_io(Conn *conn, bool write) { return write ? conn->max_write : conn->max_read; }

uint32_t conn_charge(Conn *conn, uint32_t len) {
    if (conn->dialect == kSmb202) return 0;
    return len == 0 ? 1 : (len - 1) / 65536 + 1;
}

Call *call_start(Conn *conn, Tree *tree, Command cmd, std::vector<uint8_t> body, uint32_t credit_charge,
                 OnDone cb, void *arg) {
    const bool encrypt = conn->encrypt_all || (tree != nullptr && tree->encrypt);
    return call_send(conn, tree != nullptr ? tree->tree_id : 0, encrypt, cmd, std::move(body), credit_charge, cb, arg,
                     nullptr);
}

void call_wait(Call *call, Reply *out) {
    Conn *c = call->conn;
    std::unique_lock<std::mutex> lock(c->mu);
    // The reader ends every call by its bound, or the connection with it.
    c->cv.wait(lock, [call] { return call->done; });
    if (out != nullptr) *out = call->reply;
}

bool call_done(Call *call) {
    std::lock_guard<std::mutex> lock(call->conn->mu);
    return call->done;
}

void call_release(Call *call) {
    if (call != nullptr) unref(call);
}

void call_sync(Conn *conn, Tree *tree, Command cmd, std::vector<uint8_t> body, uint32_t credit_charge, Reply *out) {
    Call *call = call_start(conn, tree, cmd, std::move(body), credit_charge, nullptr, nullptr);
    call_wait(call, out);
    call_release(call);
}

namespace {

// Ends the calls whose bound has passed, with their connection.
void check_bounds(Conn *c) {
    bool expired = false;
    {
        std::lock_guard<std::mutex> lock(c->mu);
        const Clock::time_point now = Clock::now();
        for (auto &kv : c->calls)
            if (now >= kv.second->deadline) expired = true;
    }
    if (expired) conn_fail(c, kIoTimeout);
}

void *reader_main(void *arg) {
    Conn *c = static_cast<Conn *>(arg);
    std::vector<uint8_t> buf;
    size_t want = 4;  // the length prefix, then the frame
    bool in_frame = false;
    std::vector<uint8_t> chunk(65536);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(c->mu);
            if (c->dead) break;
        }
        struct pollfd p = {c->fd, POLLIN, 0};
        int n = poll(&p, 1, kPollMs);
        if (n < 0 && errno != EINTR) {
            conn_fail(c, kConnectionDisconnected);
            break;
        }
        if (n > 0) {
            ssize_t got = recv(c->fd, chunk.data(), chunk.size(), 0);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                conn_fail(c, kConnectionDisconnected);
                break;
            }
            if (got > 0) buf.insert(buf.end(), chunk.begin(), chunk.begin() + got);
            bool broken = false;
            while (!broken && buf.size() >= want) {
                if (!in_frame) {
                    if (buf[0] != 0) {
                        broken = true;
                        break;
                    }
                    want = 4 + ((static_cast<size_t>(buf[1]) << 16) | (buf[2] << 8) | buf[3]);
                    in_frame = true;
                    continue;
                }
                if (!receive_frame(c, buf.data() + 4, want - 4)) broken = true;
                buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(want));
                want = 4;
                in_frame = false;
            }
            if (broken) {
                conn_fail(c, kInvalidNetworkResponse);
                break;
            }
        }
        check_bounds(c);
    }
    std::lock_guard<std::mutex> lock(c->send_mu);
    ::close(c->fd);
    c->fd = -1;
    return nullptr;
}

}  // namespace

}  // namespace smb
