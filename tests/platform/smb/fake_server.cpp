// An in-memory file server behind the SMB client's interface (client.h), for what a real
// server cannot be made to do on cue: let a lock's grant cross its CANCEL or its CLOSE,
// take tiny READs and WRITEs. One file whatever the name, per-FileId byte-range locks,
// final responses delivered on a thread of their own as the client's reader thread does.
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/smb/client.h"

namespace smb {

struct Conn {};

struct Call {
    int refs = 2;  // the caller's and the server's; guarded by g.mu
    OnIo cb = nullptr;
    void *arg = nullptr;
    uint32_t status = kSuccess, bytes = 0;
    bool ended = false;  // the callback ran
    uint64_t fid = 0, off = 0;
    bool exclusive = false;
};

}  // namespace smb

namespace {

using namespace smb;

struct Server {
    std::mutex mu;
    std::condition_variable cv;
    std::string data;
    std::vector<Call> locks;  // granted: fid, off, exclusive (one byte each)
    std::vector<Call *> waiters, held;
    int answering = 0;  // final responses not yet delivered
    bool hold = false;
    uint64_t next_fid = 1;
    uint32_t max_io = 65536;
    Conn conn;
    Tree tree;
};
// Never destroyed: a delivery may still be ending when the process exits.
Server &g = *new Server;

// On a thread of its own, as the client's reader thread delivers; g.mu is held.
Call *answer(Call *c, uint32_t status, uint32_t bytes = 0) {
    c->status = status;
    c->bytes = bytes;
    ++g.answering;
    std::thread([c] {
        c->cb(c->arg, c->status, c->bytes);
        std::lock_guard<std::mutex> lock(g.mu);
        c->ended = true;
        if (--c->refs == 0) delete c;
        --g.answering;
        g.cv.notify_all();
    }).detach();
    return c;
}

void release_held() {
    for (Call *c : g.held) answer(c, kSuccess);
    g.held.clear();
}

// As Samba judges it: an exclusive lock overlaps nothing, a shared one no other open's
// exclusive lock.
bool conflicts(const Call &w) {
    for (const Call &l : g.locks)
        if (l.off == w.off && (w.exclusive || (l.exclusive && l.fid != w.fid))) return true;
    return false;
}

// A grant made while answers are held waits for hold(false) or, crossing it, a CANCEL.
void grant_waiters() {
    for (auto it = g.waiters.begin(); it != g.waiters.end();) {
        if (conflicts(**it)) {
            ++it;
            continue;
        }
        g.locks.push_back(**it);
        g.hold ? g.held.push_back(*it) : (void)answer(*it, kSuccess);
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
            answer(call, kCancelled);
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
    if (len > g.max_io) return answer(new Call{2, cb, arg}, kInvalidParameter);
    if (off >= g.data.size()) return answer(new Call{2, cb, arg}, 0xC0000011);  // STATUS_END_OF_FILE
    const std::string piece = g.data.substr(off, len);
    memcpy(dst, piece.data(), piece.size());
    return answer(new Call{2, cb, arg}, kSuccess, (uint32_t)piece.size());
}

Call *write_start(Tree *, const FileId &, uint64_t off, const void *src, uint32_t len, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    if (len > g.max_io) return answer(new Call{2, cb, arg}, kInvalidParameter);
    if (g.data.size() < off + len) g.data.resize(off + len);
    g.data.replace(off, len, static_cast<const char *>(src), len);
    return answer(new Call{2, cb, arg}, kSuccess, len);
}

// One byte at a time, as the tests lock.
Call *lock_start(Tree *, const FileId &fid, uint64_t off, uint64_t, uint32_t flags, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    Call *c = new Call{2, cb, arg, kSuccess, 0, false, fid.volatile_id, off, (flags & kLockExclusive) != 0};
    if (flags & kLockUnlock) {
        for (auto it = g.locks.begin(); it != g.locks.end(); ++it) {
            if (it->fid == c->fid && it->off == off) {
                g.locks.erase(it);
                grant_waiters();
                return answer(c, kSuccess);
            }
        }
        return answer(c, 0xC000007E);  // STATUS_RANGE_NOT_LOCKED
    }
    if (!conflicts(*c)) {
        g.locks.push_back(*c);
        return answer(c, kSuccess);
    }
    if (flags & kLockFailImmediately) return answer(c, 0xC0000055);  // STATUS_LOCK_NOT_GRANTED
    g.waiters.push_back(c);
    return c;
}

}  // namespace smb
