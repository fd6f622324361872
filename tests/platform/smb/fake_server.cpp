#include "fake_server.h"

#include <string.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Lock {
    uint64_t fid, off, len;
    bool exclusive;
};

}  // namespace

namespace smb {

struct Conn {};

struct Call {
    int refs = 2;  // the caller's and the server's; guarded by g.mu
    OnIo cb = nullptr;
    void *arg = nullptr;
    uint32_t status = kSuccess, bytes = 0;
    std::string data;  // READ: what lands in dst
    void *dst = nullptr;
    bool ended = false;  // the callback ran
    Lock want = {};      // a waiting LOCK
};

}  // namespace smb

namespace {

using namespace smb;

struct Server {
    std::mutex mu;
    std::condition_variable cv;
    std::string data;
    std::vector<Lock> locks;
    std::vector<Call *> waiters, held;
    int answering = 0;  // final responses not yet delivered
    bool hold = false;
    uint64_t next_fid = 1;
    std::atomic<uint32_t> max_io{65536};
    Conn conn;
    Tree tree;
};
// Never destroyed: a delivery may still be ending when the process exits.
Server &g = *new Server;

// On a thread of its own, as the client's reader thread delivers; g.mu is held.
void deliver(Call *c) {
    std::thread([c] {
        if (c->dst != nullptr) memcpy(c->dst, c->data.data(), c->data.size());
        c->cb(c->arg, c->status, c->bytes);
        std::lock_guard<std::mutex> lock(g.mu);
        c->ended = true;
        if (--c->refs == 0) delete c;
        --g.answering;
        g.cv.notify_all();
    }).detach();
}

Call *answer(Call *c, uint32_t status, uint32_t bytes, bool held = false) {
    c->status = status;
    c->bytes = bytes;
    ++g.answering;
    held ? g.held.push_back(c) : deliver(c);
    return c;
}

void release_held() {
    for (Call *c : g.held) deliver(c);
    g.held.clear();
}

Call *new_call(OnIo cb, void *arg) {
    Call *c = new Call;
    c->cb = cb;
    c->arg = arg;
    return c;
}

// As Samba judges it: an exclusive lock overlaps nothing, a shared one no other open's
// exclusive lock.
bool conflicts(const Lock &w) {
    for (const Lock &l : g.locks)
        if (l.off < w.off + w.len && w.off < l.off + l.len && (w.exclusive || (l.exclusive && l.fid != w.fid)))
            return true;
    return false;
}

void grant_waiters() {
    for (auto it = g.waiters.begin(); it != g.waiters.end();) {
        if (conflicts((*it)->want)) {
            ++it;
            continue;
        }
        g.locks.push_back((*it)->want);
        answer(*it, kSuccess, 0, g.hold);
        it = g.waiters.erase(it);
    }
}

}  // namespace

namespace fake {

void reset() {
    std::unique_lock<std::mutex> lock(g.mu);
    g.hold = false;
    release_held();
    g.cv.wait(lock, [] { return g.answering == 0; });
    g.data.clear();
    g.locks.clear();
    g.max_io = 65536;
}

void set_max_io(uint32_t n) { g.max_io = n; }

void hold(bool on) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.hold = on;
    if (!on) release_held();
}

}  // namespace fake

namespace smb {

uint32_t tree_get(const std::string &, const std::string &, Tree **out) {
    g.tree.conn = &g.conn;
    *out = &g.tree;
    return kSuccess;
}

uint32_t conn_max_io(Conn *, bool) { return g.max_io; }

void call_wait(Call *call, Reply *out) {
    std::unique_lock<std::mutex> lock(g.mu);
    g.cv.wait(lock, [call] { return call->ended; });
    if (out != nullptr) out->status = call->status;
}

void call_cancel(Call *call) {
    std::lock_guard<std::mutex> lock(g.mu);
    release_held();  // what was held crossed the CANCEL
    for (auto it = g.waiters.begin(); it != g.waiters.end(); ++it) {
        if (*it == call) {
            g.waiters.erase(it);
            answer(call, kCancelled, 0);
            return;
        }
    }
}

void call_release(Call *call) {
    std::lock_guard<std::mutex> lock(g.mu);
    if (--call->refs == 0) delete call;
}

uint32_t create(Tree *, const CreateArgs &, CreateResult *out) {
    std::lock_guard<std::mutex> lock(g.mu);
    *out = CreateResult();
    out->fid.volatile_id = g.next_fid++;
    return kSuccess;
}

uint32_t close(Tree *, const FileId &fid) {
    std::lock_guard<std::mutex> lock(g.mu);
    for (auto it = g.locks.begin(); it != g.locks.end();) it = it->fid == fid.volatile_id ? g.locks.erase(it) : it + 1;
    grant_waiters();
    return kSuccess;
}

uint32_t flush(Tree *, const FileId &) { return kSuccess; }
uint32_t set_delete_pending(Tree *, const FileId &) { return kSuccess; }

uint32_t query_end_of_file(Tree *, const FileId &, uint64_t *eof) {
    std::lock_guard<std::mutex> lock(g.mu);
    *eof = g.data.size();
    return kSuccess;
}

Call *read_start(Tree *, const FileId &, uint64_t off, uint32_t len, void *dst, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    Call *c = new_call(cb, arg);
    if (len > g.max_io) return answer(c, kInvalidParameter, 0);
    if (off >= g.data.size()) return answer(c, 0xC0000011, 0, g.hold);  // STATUS_END_OF_FILE
    c->data = g.data.substr(off, len);
    c->dst = dst;
    return answer(c, kSuccess, (uint32_t)c->data.size(), g.hold);
}

Call *write_start(Tree *, const FileId &, uint64_t off, const void *src, uint32_t len, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    if (len > g.max_io) return answer(new_call(cb, arg), kInvalidParameter, 0);
    if (g.data.size() < off + len) g.data.resize(off + len);
    g.data.replace(off, len, static_cast<const char *>(src), len);
    return answer(new_call(cb, arg), kSuccess, len, g.hold);
}

Call *lock_start(Tree *, const FileId &fid, uint64_t off, uint64_t len, uint32_t flags, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    Call *c = new_call(cb, arg);
    c->want = Lock{fid.volatile_id, off, len, (flags & kLockExclusive) != 0};
    if (flags & kLockUnlock) {
        for (auto it = g.locks.begin(); it != g.locks.end(); ++it) {
            if (it->fid == fid.volatile_id && it->off == off && it->len == len) {
                g.locks.erase(it);
                grant_waiters();
                return answer(c, kSuccess, 0);
            }
        }
        return answer(c, 0xC000007E, 0);  // STATUS_RANGE_NOT_LOCKED
    }
    if (!conflicts(c->want)) {
        g.locks.push_back(c->want);
        return answer(c, kSuccess, 0);
    }
    if (flags & kLockFailImmediately) return answer(c, 0xC0000055, 0);  // STATUS_LOCK_NOT_GRANTED
    g.waiters.push_back(c);
    return c;
}

}  // namespace smb
