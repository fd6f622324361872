#include "fake_server.h"

#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace smb {

struct Conn {};

struct Call {
    int refs = 2;  // the caller's and the server's; guarded by g.mu
    OnIo cb = nullptr;
    void *arg = nullptr;
    uint32_t status = kSuccess;
    uint32_t bytes = 0;
    std::string data;     // READ: what lands in dst
    void *dst = nullptr;
    bool io = false;      // a READ or WRITE
    bool ended = false;   // the callback ran
    // A waiting LOCK.
    uint64_t fid = 0, off = 0, len = 0;
    bool exclusive = false;
};

}  // namespace smb

namespace {

using namespace smb;

constexpr uint32_t kNameNotFound = 0xC0000034;
constexpr uint32_t kFileIsADirectory = 0xC00000BA;
constexpr uint32_t kDeletePending = 0xC0000056;
constexpr uint32_t kLockNotGranted = 0xC0000055;
constexpr uint32_t kRangeNotLocked = 0xC000007E;
constexpr uint32_t kEndOfFile = 0xC0000011;

struct File {
    std::string data;
    bool delete_pending = false;
    int opens = 0;
};

struct Lock {
    uint64_t fid, off, len;
    bool exclusive;
};

struct Server {
    std::mutex mu;
    std::condition_variable cv;
    std::map<std::u16string, File> files;
    std::map<uint64_t, std::u16string> opens;
    std::vector<Lock> locks;
    std::vector<Call *> waiters;
    std::deque<Call *> queue;    // final responses to deliver
    std::vector<Call *> parked;  // grants held until a CANCEL
    bool hold_io = false;
    bool hold_grants = false;
    bool delivering = false;
    bool started = false;
    uint64_t next_fid = 1;
    uint32_t max_io = 65536;
    int creates = 0;
    CreateArgs last_create;
    std::string last_host, last_share;
    Conn conn;
    Tree tree;
};
// Never destroyed: the dispatcher waits on it until the process is gone.
Server &g = *new Server;

void unref_locked(Call *c) {
    if (--c->refs == 0) delete c;
}

bool held(const Call *c) { return g.hold_io && c->io; }

void dispatcher() {
    std::unique_lock<std::mutex> lock(g.mu);
    for (;;) {
        Call *c = nullptr;
        for (auto it = g.queue.begin(); it != g.queue.end(); ++it) {
            if (!held(*it)) {
                c = *it;
                g.queue.erase(it);
                break;
            }
        }
        if (c == nullptr) {
            g.cv.wait(lock);
            continue;
        }
        g.delivering = true;
        lock.unlock();
        if (c->dst != nullptr && !c->data.empty()) memcpy(c->dst, c->data.data(), c->data.size());
        c->cb(c->arg, c->status, c->bytes);
        lock.lock();
        g.delivering = false;
        c->ended = true;
        unref_locked(c);
        g.cv.notify_all();
    }
}

// Queues the final response; g.mu is held.
void answer(Call *c, uint32_t status, uint32_t bytes) {
    c->status = status;
    c->bytes = bytes;
    g.queue.push_back(c);
    g.cv.notify_all();
}

Call *new_call(OnIo cb, void *arg) {
    Call *c = new Call;
    c->cb = cb;
    c->arg = arg;
    if (!g.started) {
        g.started = true;
        std::thread(dispatcher).detach();
    }
    return c;
}

bool overlaps(uint64_t a, uint64_t alen, uint64_t b, uint64_t blen) { return a < b + blen && b < a + alen; }

// As Samba judges it: an exclusive lock overlaps nothing, a shared one no other
// open's exclusive lock.
bool conflicts(uint64_t fid, uint64_t off, uint64_t len, bool exclusive) {
    for (const Lock &l : g.locks)
        if (overlaps(l.off, l.len, off, len) && (exclusive || (l.exclusive && l.fid != fid))) return true;
    return false;
}

void grant_waiters() {
    for (auto it = g.waiters.begin(); it != g.waiters.end();) {
        Call *c = *it;
        if (conflicts(c->fid, c->off, c->len, c->exclusive)) {
            ++it;
            continue;
        }
        g.locks.push_back(Lock{c->fid, c->off, c->len, c->exclusive});
        it = g.waiters.erase(it);
        c->status = kSuccess;
        if (g.hold_grants)
            g.parked.push_back(c);
        else
            answer(c, kSuccess, 0);
    }
}

void release_parked() {
    for (Call *c : g.parked) answer(c, kSuccess, 0);
    g.parked.clear();
}

}  // namespace

namespace fake {

void reset() {
    std::unique_lock<std::mutex> lock(g.mu);
    g.hold_io = g.hold_grants = false;
    release_parked();
    g.cv.notify_all();
    g.cv.wait(lock, [] { return g.queue.empty() && !g.delivering; });
    g.files.clear();
    g.opens.clear();
    g.locks.clear();
    g.max_io = 65536;
    g.creates = 0;
}

void set_max_io(uint32_t n) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.max_io = n;
}

void hold_io(bool on) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.hold_io = on;
    g.cv.notify_all();
}

void hold_grants_until_cancel(bool on) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.hold_grants = on;
    if (!on) release_parked();
}

bool wait_for_waiters(size_t n) {
    std::unique_lock<std::mutex> lock(g.mu);
    return g.cv.wait_for(lock, std::chrono::seconds(10), [n] { return g.waiters.size() == n; });
}

void put(const std::u16string &name, const std::string &data) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.files[name].data = data;
}

std::string content(const std::u16string &name) {
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.files.find(name);
    return it == g.files.end() ? std::string() : it->second.data;
}

bool exists(const std::u16string &name) {
    std::lock_guard<std::mutex> lock(g.mu);
    return g.files.count(name) != 0;
}

int creates() {
    std::lock_guard<std::mutex> lock(g.mu);
    return g.creates;
}

CreateArgs last_create() {
    std::lock_guard<std::mutex> lock(g.mu);
    return g.last_create;
}

std::string last_host() {
    std::lock_guard<std::mutex> lock(g.mu);
    return g.last_host;
}

std::string last_share() {
    std::lock_guard<std::mutex> lock(g.mu);
    return g.last_share;
}

}  // namespace fake

namespace smb {

uint32_t tree_get(const std::string &host, const std::string &share, Tree **out) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.last_host = host;
    g.last_share = share;
    if (host == "nohost") return kBadNetworkPath;
    if (share == "noshare") return kBadNetworkName;
    g.tree.conn = &g.conn;
    *out = &g.tree;
    return kSuccess;
}

uint32_t conn_max_io(Conn *, bool) {
    std::lock_guard<std::mutex> lock(g.mu);
    return g.max_io;
}

void call_wait(Call *call, Reply *out) {
    std::unique_lock<std::mutex> lock(g.mu);
    g.cv.wait(lock, [call] { return call->ended; });
    if (out != nullptr) out->status = call->status;
}

void call_cancel(Call *call) {
    std::lock_guard<std::mutex> lock(g.mu);
    release_parked();  // the grant crossed the CANCEL
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
    unref_locked(call);
}

uint32_t create(Tree *, const CreateArgs &a, CreateResult *out) {
    std::lock_guard<std::mutex> lock(g.mu);
    ++g.creates;
    g.last_create = a;
    *out = CreateResult();
    if (a.name.empty()) {  // the share's root
        if (a.options & 0x40) return kFileIsADirectory;
        out->action = 1;
        out->attributes = 0x10;
    } else {
        auto it = g.files.find(a.name);
        const bool found = it != g.files.end();
        if (found && it->second.delete_pending) return kDeletePending;
        switch (a.disposition) {
        case 1:  // FILE_OPEN
        case 4:  // FILE_OVERWRITE
            if (!found) return kNameNotFound;
            break;
        case 2:  // FILE_CREATE
            if (found) return kObjectNameCollision;
            break;
        }
        if (!found) {
            g.files[a.name] = File();
            out->action = 2;
        } else if (a.disposition == 4 || a.disposition == 5) {
            it->second.data.clear();
            out->action = 3;
        } else {
            out->action = 1;
        }
        File &f = g.files[a.name];
        ++f.opens;
        out->attributes = 0x20;
        out->end_of_file = f.data.size();
    }
    out->fid.persistent = out->fid.volatile_id = g.next_fid++;
    g.opens[out->fid.volatile_id] = a.name;
    return kSuccess;
}

uint32_t close(Tree *, const FileId &fid) {
    std::lock_guard<std::mutex> lock(g.mu);
    const uint64_t id = fid.volatile_id;
    auto open = g.opens.find(id);
    if (open == g.opens.end()) return 0xC0000128;  // STATUS_FILE_CLOSED
    for (auto it = g.locks.begin(); it != g.locks.end();) it = it->fid == id ? g.locks.erase(it) : it + 1;
    // Samba ends the waiting locks of a closed open so.
    for (auto it = g.waiters.begin(); it != g.waiters.end();) {
        if ((*it)->fid == id) {
            answer(*it, kRangeNotLocked, 0);
            it = g.waiters.erase(it);
        } else {
            ++it;
        }
    }
    auto file = g.files.find(open->second);
    if (file != g.files.end() && --file->second.opens == 0 && file->second.delete_pending) g.files.erase(file);
    g.opens.erase(open);
    grant_waiters();
    return kSuccess;
}

uint32_t flush(Tree *, const FileId &) { return kSuccess; }

uint32_t set_delete_pending(Tree *, const FileId &fid) {
    std::lock_guard<std::mutex> lock(g.mu);
    g.files[g.opens[fid.volatile_id]].delete_pending = true;
    return kSuccess;
}

uint32_t query_end_of_file(Tree *, const FileId &fid, uint64_t *eof) {
    std::lock_guard<std::mutex> lock(g.mu);
    *eof = g.files[g.opens[fid.volatile_id]].data.size();
    return kSuccess;
}

Call *read_start(Tree *, const FileId &fid, uint64_t off, uint32_t len, void *dst, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    Call *c = new_call(cb, arg);
    c->io = true;
    const std::string &data = g.files[g.opens[fid.volatile_id]].data;
    if (off >= data.size()) {
        answer(c, kEndOfFile, 0);
        return c;
    }
    c->data = data.substr(off, len);
    c->dst = dst;
    answer(c, kSuccess, (uint32_t)c->data.size());
    return c;
}

Call *write_start(Tree *, const FileId &fid, uint64_t off, const void *src, uint32_t len, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    Call *c = new_call(cb, arg);
    c->io = true;
    std::string &data = g.files[g.opens[fid.volatile_id]].data;
    if (data.size() < off + len) data.resize(off + len);
    data.replace(off, len, static_cast<const char *>(src), len);
    answer(c, kSuccess, len);
    return c;
}

Call *lock_start(Tree *, const FileId &fid, uint64_t off, uint64_t len, uint32_t flags, OnIo cb, void *arg) {
    std::lock_guard<std::mutex> lock(g.mu);
    Call *c = new_call(cb, arg);
    const uint64_t id = fid.volatile_id;
    if (flags & kLockUnlock) {
        for (auto it = g.locks.begin(); it != g.locks.end(); ++it) {
            if (it->fid == id && it->off == off && it->len == len) {
                g.locks.erase(it);
                answer(c, kSuccess, 0);
                grant_waiters();
                return c;
            }
        }
        answer(c, kRangeNotLocked, 0);
        return c;
    }
    const bool exclusive = (flags & kLockExclusive) != 0;
    if (!conflicts(id, off, len, exclusive)) {
        g.locks.push_back(Lock{id, off, len, exclusive});
        answer(c, kSuccess, 0);
    } else if (flags & kLockFailImmediately) {
        answer(c, kLockNotGranted, 0);
    } else {
        c->fid = id;
        c->off = off;
        c->len = len;
        c->exclusive = exclusive;
        g.waiters.push_back(c);
        g.cv.notify_all();
    }
    return c;
}

}  // namespace smb
