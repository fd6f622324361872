// The Win32 file calls on UNC paths, served by the SMB client. A handle is a file of
// the server (its FileId on a tree) plus what Windows keeps on the client side: the
// granted access, whether it is overlapped, the file pointer, the handle's signal, and
// the requests still in flight for CancelIoEx and CloseHandle. Share modes, locks and
// delete-pending are the server's; nothing here second-guesses them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "../posix/file.h"
#include "client.h"
#include "unc.h"
#include "win32_smb.h"

namespace smb {

namespace {

using plat::Event;
using plat::Kind;
using plat::Ref;
using plat::fail;

// Access rights and their generic mapping for files.
constexpr uint32_t kFileReadData = 0x0001;
constexpr uint32_t kFileWriteData = 0x0002;
constexpr uint32_t kFileAppendData = 0x0004;
constexpr uint32_t kFileExecute = 0x0020;
constexpr uint32_t kFileReadAttributes = 0x0080;
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kGenericBits = 0xF0000000;
constexpr uint32_t kFileGenericRead = 0x00120089;
constexpr uint32_t kFileGenericWrite = 0x00120116;
constexpr uint32_t kFileGenericExecute = 0x001200A0;
constexpr uint32_t kFileAllAccess = 0x001F01FF;

// CreateDisposition, CreateOptions, attributes.
constexpr uint32_t kFileOpen = 1;
constexpr uint32_t kDispositionOf[] = {0, 2 /* CREATE_NEW: FILE_CREATE */, 5 /* CREATE_ALWAYS: FILE_OVERWRITE_IF */,
                                       kFileOpen /* OPEN_EXISTING */, 3 /* OPEN_ALWAYS: FILE_OPEN_IF */,
                                       4 /* TRUNCATE_EXISTING: FILE_OVERWRITE */};
constexpr uint32_t kDirectoryFile = 0x00000001;
constexpr uint32_t kNonDirectoryFile = 0x00000040;
constexpr uint32_t kOpenForBackupIntent = 0x00004000;
constexpr uint32_t kOpenReparsePoint = 0x00200000;
constexpr uint32_t kAttributeValidFlags = 0x00007FB7;
constexpr uint32_t kAttributeDirectory = 0x00000010;
constexpr uint32_t kShareAll = 7;

// CreateAction.
constexpr uint32_t kFileOpened = 1;
constexpr uint32_t kFileOverwritten = 3;

constexpr uint32_t kStatusEndOfFile = 0xC0000011;
constexpr DWORD kErrorNegativeSeek = 131;
constexpr int kRoundTripMs = 20;  // how long an overlapped request may take to count as ended at once

struct Remote;

// A request of a handle in flight: started by a Win32 call, ended by the client's
// callback. Two references at the start: the starter's and the callback's.
struct Op {
    Remote *file = nullptr;     // referenced
    OVERLAPPED *ov = nullptr;   // completed by the callback; nullptr: the starter waits
    Event *event = nullptr;     // referenced, or nullptr
    bool lock = false;
    Call *call = nullptr;       // set once the start function returned
    std::atomic<int> refs{2};
    // Guarded by the file's mutex.
    bool done = false;
    bool cancel_sent = false;
    uint32_t status = kSuccess;
    uint32_t bytes = 0;
};

struct Remote : plat::Object {
    Remote() : Object(Kind::RemoteFile), sig(true, false) {}
    ~Remote() override;
    void on_close() override;
    DWORD wait(DWORD ms) override { return sig.wait(ms); }

    Tree *tree = nullptr;
    FileId fid;
    bool can_read = false;  // the handle's access rights, checked before the wire as Windows does
    bool can_write = false;
    bool overlapped = false;
    bool open = false;  // the server's handle is open
    plat::Signal sig;   // the handle as a waitable object

    std::mutex mu;               // guards everything below and the ops' results
    std::condition_variable cv;  // notified when a request ends
    uint64_t pos = 0;            // the file pointer
    std::vector<Op *> ops;       // requests started and not ended
    bool closing = false;
};

Op *op_new(Remote *f, OVERLAPPED *ov, Event *ev, bool lock) {
    Op *op = new (std::nothrow) Op();
    if (op == nullptr) return nullptr;
    f->refs.fetch_add(1, std::memory_order_relaxed);
    op->file = f;
    op->ov = ov;
    op->event = ev;
    op->lock = lock;
    return op;
}

void op_unref(Op *op) {
    if (op->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (op->call != nullptr) call_release(op->call);
    if (op->event != nullptr) plat::object_unref(op->event);
    plat::object_unref(op->file);
    delete op;
}

// The client's callback: the final status of the request.
void on_io(void *arg, uint32_t status, uint32_t bytes) {
    Op *op = static_cast<Op *>(arg);
    Remote *f = op->file;
    {
        std::lock_guard<std::mutex> lock(f->mu);
        // A lock granted while its handle closes goes with the handle; the request ends
        // aborted, as the POSIX layer ends a pending lock of a closed handle.
        if (op->lock && f->closing && status == kSuccess) status = kCancelled;
    }
    // The record is complete before the starter can learn that the request ended.
    if (op->ov != nullptr) plat::complete_overlapped(op->ov, status, bytes, op->event, &f->sig);
    {
        std::lock_guard<std::mutex> lock(f->mu);
        op->done = true;
        op->status = status;
        op->bytes = bytes;
        auto it = std::find(f->ops.begin(), f->ops.end(), op);
        if (it != f->ops.end()) f->ops.erase(it);
    }
    f->cv.notify_all();
    op_unref(op);
}

// Takes the call the start function returned; an op still in flight joins the handle's
// list. Returns whether it had ended already (its result then in *status and *bytes).
bool op_started(Op *op, Call *call, uint32_t *status, uint32_t *bytes) {
    Remote *f = op->file;
    std::lock_guard<std::mutex> lock(f->mu);
    op->call = call;
    if (!op->done) {
        f->ops.push_back(op);
        return false;
    }
    *status = op->status;
    *bytes = op->bytes;
    return true;
}

// Waits for the op's end; bounded by the client's expiry rules, except for a lock
// that waits for its range, which waits as long as Windows would.
void op_wait(Op *op, uint32_t *status, uint32_t *bytes) {
    Remote *f = op->file;
    std::unique_lock<std::mutex> lock(f->mu);
    f->cv.wait(lock, [op] { return op->done; });
    *status = op->status;
    *bytes = op->bytes;
}

// Waits up to ms for the op's end; whether it ended (its result then in *status and *bytes).
bool op_wait_for(Op *op, int ms, uint32_t *status, uint32_t *bytes) {
    Remote *f = op->file;
    std::unique_lock<std::mutex> lock(f->mu);
    if (!f->cv.wait_for(lock, std::chrono::milliseconds(ms), [op] { return op->done; })) return false;
    *status = op->status;
    *bytes = op->bytes;
    return true;
}

enum class Io { Read, Write, Lock };

struct IoArgs {
    Io kind;
    uint64_t off;
    uint64_t len;
    void *buf;
    uint32_t lock_flags;
};

Call *start_io(Remote *f, const IoArgs &a, Op *op) {
    switch (a.kind) {
    case Io::Read: return read_start(f->tree, f->fid, a.off, (uint32_t)a.len, a.buf, on_io, op);
    case Io::Write: return write_start(f->tree, f->fid, a.off, a.buf, (uint32_t)a.len, on_io, op);
    default: return lock_start(f->tree, f->fid, a.off, a.len, a.lock_flags, on_io, op);
    }
}

// One request, waited for. ~0 status when it could not even be started.
uint32_t io_sync(Remote *f, const IoArgs &a, uint32_t *bytes) {
    *bytes = 0;
    Op *op = op_new(f, nullptr, nullptr, a.kind == Io::Lock);
    if (op == nullptr) return kInsufficientResources;
    uint32_t status = kSuccess;
    if (!op_started(op, start_io(f, a, op), &status, bytes)) op_wait(op, &status, bytes);
    op_unref(op);
    return status;
}

// One request whose end completes the OVERLAPPED (the op takes over the event's
// reference). What the Win32 call returns: TRUE when it ended at once with success,
// FALSE with its error when it ended at once with one, else FALSE with ERROR_IO_PENDING.
// "At once" allows a server's round trip: a caller that finds a request pending may
// look again only much later (the tool polls every 100 ms), and a request that waits
// at the server (a lock) pends there for far longer anyway.
BOOL io_async(Remote *f, const IoArgs &a, OVERLAPPED *ov, plat::EventRef *ev, LPDWORD done) {
    Op *op = op_new(f, ov, ev->ev, a.kind == Io::Lock);
    if (op == nullptr) return fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    ev->ev = nullptr;
    uint32_t status = kSuccess, bytes = 0;
    bool ended = op_started(op, start_io(f, a, op), &status, &bytes) ||
                 op_wait_for(op, kRoundTripMs, &status, &bytes);
    op_unref(op);
    if (!ended) return fail<BOOL>(ERROR_IO_PENDING, FALSE);
    if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
    if (done != nullptr) *done = bytes;
    return TRUE;
}

Remote *remote_ref(HANDLE h) { return static_cast<Remote *>(plat::handle_ref(h, Kind::RemoteFile)); }

// The parsed name and its tree, or the Win32 error.
DWORD open_tree(LPCSTR name, UncName *u, Tree **tree) {
    DWORD err = unc_parse(name, GetACP(), u);
    if (err != 0) return err;
    uint32_t status = tree_get(u->host, u->share, tree);
    return status == kSuccess ? 0 : status_to_win32(status);
}

uint32_t map_access(DWORD a) {
    uint32_t m = a & ~kGenericBits;
    if (a & GENERIC_READ) m |= kFileGenericRead;
    if (a & GENERIC_WRITE) m |= kFileGenericWrite;
    if (a & GENERIC_EXECUTE) m |= kFileGenericExecute;
    if (a & GENERIC_ALL) m |= kFileAllAccess;
    // CreateFile always asks for these two.
    return m | kSynchronize | kFileReadAttributes;
}

// ReadFile and WriteFile, with the POSIX layer's checks and bookkeeping. A read at the
// end of the file reads 0 bytes; on an OVERLAPPED it ends with STATUS_END_OF_FILE.
BOOL transfer(HANDLE h, const void *buffer, DWORD count, LPDWORD done, OVERLAPPED *ov, bool write) {
    if (done != nullptr) *done = 0;
    Ref<Remote> f(remote_ref(h));
    if (!f) return FALSE;
    if (!(write ? f->can_write : f->can_read)) return fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    if (buffer == nullptr && count != 0) return fail<BOOL>(ERROR_NOACCESS, FALSE);
    if (f->overlapped && ov == nullptr) return fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    plat::EventRef ev;
    uint64_t off;
    if (ov != nullptr) {
        if (!plat::begin_overlapped(ov, &f->sig, &ev.ev)) return FALSE;
        off = plat::u64_of(ov->Offset, ov->OffsetHigh);
        if (write && off == UINT64_MAX) {  // the end of the file
            uint32_t status = query_end_of_file(f->tree, f->fid, &off);
            if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
        }
    } else {
        std::lock_guard<std::mutex> lock(f->mu);
        off = f->pos;
    }
    if (off > static_cast<uint64_t>(INT64_MAX) - (write ? count : 0)) return fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);

    char *buf = static_cast<char *>(const_cast<void *>(buffer));
    const uint32_t max_io = std::max<uint32_t>(1, conn_max_io(f->tree->conn, write));
    const Io kind = write ? Io::Write : Io::Read;
    if (ov != nullptr && f->overlapped && count != 0) {
        // One request: a length above what the server takes at once is cut to that, a
        // short transfer the caller sees in the count (servers take 64 KiB at least).
        return io_async(f.get(), IoArgs{kind, off, std::min<uint64_t>(count, max_io), buf, 0}, ov, &ev, done);
    }

    // Synchronous: as many requests as the length needs, one after the other.
    DWORD moved = 0;
    while (moved < count) {
        const uint32_t len = std::min<uint32_t>(count - moved, max_io);
        uint32_t bytes = 0;
        uint32_t status = io_sync(f.get(), IoArgs{kind, off + moved, len, buf + moved, 0}, &bytes);
        if (status != kSuccess) {
            if (!write && (status == kStatusEndOfFile || moved > 0)) break;
            return fail<BOOL>(status_to_win32(status), FALSE);
        }
        moved += std::min<uint32_t>(bytes, len);
        if (bytes < len) break;
    }
    if (done != nullptr) *done = moved;
    if (ov == nullptr || !f->overlapped) {
        std::lock_guard<std::mutex> lock(f->mu);
        f->pos = off + moved;
    }
    if (ov == nullptr) return TRUE;
    if (!write && moved == 0 && count != 0) {
        plat::complete_overlapped(ov, kStatusEndOfFile, 0, ev.ev, &f->sig);
        return fail<BOOL>(ERROR_HANDLE_EOF, FALSE);
    }
    plat::complete_overlapped(ov, kSuccess, moved, ev.ev, &f->sig);
    return TRUE;
}

// The handle and range of a LockFileEx or UnlockFileEx call (the handle referenced),
// or nullptr with the last error set, as the POSIX layer checks them.
Remote *lock_call(HANDLE h, const OVERLAPPED *ov, DWORD reserved, DWORD low, DWORD high, uint64_t *off,
                  uint64_t *len) {
    Remote *f = remote_ref(h);
    if (f == nullptr) return nullptr;
    *off = ov != nullptr ? plat::u64_of(ov->Offset, ov->OffsetHigh) : 0;
    *len = plat::u64_of(low, high);
    const unsigned __int128 end = static_cast<unsigned __int128>(*off) + *len;
    if (ov != nullptr && reserved == 0 && end <= (static_cast<unsigned __int128>(1) << 64)) return f;
    plat::object_unref(f);
    return fail<Remote *>(ERROR_INVALID_PARAMETER, nullptr);
}

}  // namespace

Remote::~Remote() {
    // Only a handle that never reached the table is still open here: on_close closed
    // every other one (a callback may drop the last reference, and must not wait).
    if (open) close(tree, fid);
}

// The handle's requests end before the server's handle closes: cancelled, or ended
// anyway; a lock granted meanwhile ends aborted (see on_io), and CLOSE releases it.
void Remote::on_close() {
    std::vector<Op *> ending;
    {
        std::lock_guard<std::mutex> lock(mu);
        closing = true;
        for (Op *op : ops) {
            op->refs.fetch_add(1, std::memory_order_relaxed);
            ending.push_back(op);
        }
    }
    for (Op *op : ending) call_cancel(op->call);
    for (Op *op : ending) {
        Reply reply;
        call_wait(op->call, &reply);  // bounded by the client
        uint32_t status, bytes;
        op_wait(op, &status, &bytes);
        op_unref(op);
    }
    if (open) {
        close(tree, fid);
        open = false;
    }
}

bool is_remote(HANDLE h) {
    plat::Object *o = plat::handle_ref_any(h);
    if (o == nullptr) return false;
    bool remote = o->kind == Kind::RemoteFile;
    plat::object_unref(o);
    return remote;
}

HANDLE create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags) {
    // A NULL DACL would travel as a security-descriptor create context; Samba ignores
    // it (the share's create mask decides), so nothing goes on the wire.
    (void)sa;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail<HANDLE>(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const uint32_t mapped = map_access(access);
    const bool can_read = (mapped & (kFileReadData | kFileExecute)) != 0;
    const bool can_write = (mapped & (kFileWriteData | kFileAppendData)) != 0;
    if (disposition == TRUNCATE_EXISTING && !can_write)
        return fail<HANDLE>(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    UncName u;
    const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
    // A name that ends in a separator names a folder, which only backup semantics open.
    DWORD err = unc_parse(name, GetACP(), &u);
    if (err == 0 && u.trailing && !backup) err = ERROR_INVALID_NAME;
    Tree *tree = nullptr;
    if (err == 0) {
        uint32_t status = tree_get(u.host, u.share, &tree);
        if (status != kSuccess) err = status_to_win32(status);
    }
    if (err != 0) return fail<HANDLE>(err, INVALID_HANDLE_VALUE);

    CreateArgs args;
    args.name = u.path;
    args.access = mapped;
    args.share = share & kShareAll;
    args.disposition = kDispositionOf[disposition];
    args.options = backup ? kOpenForBackupIntent | (u.trailing ? kDirectoryFile : 0) : kNonDirectoryFile;
    args.attributes = flags & kAttributeValidFlags;
    CreateResult res;
    uint32_t status = create(tree, args, &res);
    if (status != kSuccess) {
        // Windows rewrites the collision of CREATE_NEW.
        if (status == kObjectNameCollision && disposition == CREATE_NEW)
            return fail<HANDLE>(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        return fail<HANDLE>(status_to_win32(status), INVALID_HANDLE_VALUE);
    }
    Remote *f = new (std::nothrow) Remote();
    if (f == nullptr) {
        close(tree, res.fid);
        return fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    }
    f->tree = tree;
    f->fid = res.fid;
    f->open = true;
    f->can_read = can_read;
    f->can_write = can_write;
    f->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE h = plat::handle_insert(f);
    if (h == nullptr) return INVALID_HANDLE_VALUE;  // last error set by the table, the file closed
    const bool reports_existing = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
    const bool existed = res.action == kFileOpened || res.action == kFileOverwritten;
    SetLastError(reports_existing && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL delete_file(LPCSTR name) {
    UncName u;
    Tree *tree = nullptr;
    DWORD err = open_tree(name, &u, &tree);
    if (err == 0 && u.trailing) err = ERROR_INVALID_NAME;
    if (err != 0) return fail<BOOL>(err, FALSE);
    CreateArgs args;
    args.name = u.path;
    args.access = kDelete | kFileReadAttributes | kSynchronize;
    args.share = kShareAll;
    args.disposition = kFileOpen;
    args.options = kNonDirectoryFile | kOpenReparsePoint;
    CreateResult res;
    uint32_t status = create(tree, args, &res);
    if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
    status = set_delete_pending(tree, res.fid);
    close(tree, res.fid);
    if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
    return TRUE;
}

DWORD get_file_attributes(LPCSTR name) {
    UncName u;
    Tree *tree = nullptr;
    DWORD err = open_tree(name, &u, &tree);
    if (err != 0) return fail<DWORD>(err, INVALID_FILE_ATTRIBUTES);
    CreateArgs args;
    args.name = u.path;
    args.access = kFileReadAttributes | kSynchronize;
    args.share = kShareAll;
    args.disposition = kFileOpen;
    CreateResult res;
    uint32_t status = create(tree, args, &res);
    if (status != kSuccess) return fail<DWORD>(status_to_win32(status), INVALID_FILE_ATTRIBUTES);
    close(tree, res.fid);
    // A separator after a file's name does not name it.
    if (u.trailing && !(res.attributes & kAttributeDirectory)) return fail<DWORD>(ERROR_INVALID_NAME, INVALID_FILE_ATTRIBUTES);
    return res.attributes;
}

BOOL read_file(HANDLE h, LPVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
    return transfer(h, buf, n, done, ov, false);
}

BOOL write_file(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
    return transfer(h, buf, n, done, ov, true);
}

BOOL flush_file_buffers(HANDLE h) {
    Ref<Remote> f(remote_ref(h));
    if (!f) return FALSE;
    if (!f->can_write) return fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    uint32_t status = flush(f->tree, f->fid);
    if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
    return TRUE;
}

DWORD set_file_pointer(HANDLE h, LONG dist_low, PLONG dist_high, DWORD method) {
    Ref<Remote> f(remote_ref(h));
    if (!f) return INVALID_SET_FILE_POINTER;
    int64_t dist = dist_high != nullptr
                       ? static_cast<int64_t>(plat::u64_of(static_cast<DWORD>(dist_low), *dist_high))
                       : dist_low;
    int64_t base;
    switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: {
        std::lock_guard<std::mutex> lock(f->mu);
        base = static_cast<int64_t>(f->pos);
        break;
    }
    case FILE_END: {
        uint64_t eof = 0;
        uint32_t status = query_end_of_file(f->tree, f->fid, &eof);
        if (status != kSuccess) return fail<DWORD>(status_to_win32(status), INVALID_SET_FILE_POINTER);
        base = static_cast<int64_t>(eof);
        break;
    }
    default: return fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    int64_t pos;
    if (__builtin_add_overflow(base, dist, &pos)) return fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (pos < 0) return fail<DWORD>(kErrorNegativeSeek, INVALID_SET_FILE_POINTER);
    if (dist_high == nullptr && pos > 0xFFFFFFFF) return fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    {
        std::lock_guard<std::mutex> lock(f->mu);
        f->pos = static_cast<uint64_t>(pos);
    }
    if (dist_high != nullptr) *dist_high = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    DWORD low = static_cast<DWORD>(pos);
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

BOOL lock_file_ex(HANDLE h, DWORD flags, DWORD reserved, DWORD len_low, DWORD len_high, LPOVERLAPPED ov) {
    uint64_t off, len;
    Ref<Remote> f(lock_call(h, ov, reserved, len_low, len_high, &off, &len));
    if (!f) return FALSE;
    if (!f->can_read && !f->can_write) return fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    const bool wait = (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0;
    const uint32_t lock_flags = ((flags & LOCKFILE_EXCLUSIVE_LOCK) ? kLockExclusive : kLockShared) |
                                (wait ? 0 : kLockFailImmediately);
    plat::EventRef ev;
    if (!plat::begin_overlapped(ov, &f->sig, &ev.ev)) return FALSE;
    const IoArgs args{Io::Lock, off, len, nullptr, lock_flags};
    // A waiting request of an overlapped handle stays pending until the server answers.
    if (wait && f->overlapped) return io_async(f.get(), args, ov, &ev, nullptr);
    // A synchronous handle waits; a request that must not wait is never pending. A
    // refusal leaves the record pending and the event reset, as the POSIX layer does.
    uint32_t bytes = 0;
    uint32_t status = io_sync(f.get(), args, &bytes);
    if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
    plat::complete_overlapped(ov, kSuccess, 0, ev.ev, &f->sig);
    return TRUE;
}

BOOL unlock_file_ex(HANDLE h, DWORD reserved, DWORD len_low, DWORD len_high, LPOVERLAPPED ov) {
    uint64_t off, len;
    Ref<Remote> f(lock_call(h, ov, reserved, len_low, len_high, &off, &len));
    if (!f) return FALSE;
    uint32_t bytes = 0;
    uint32_t status = io_sync(f.get(), IoArgs{Io::Lock, off, len, nullptr, kLockUnlock}, &bytes);
    if (status != kSuccess) return fail<BOOL>(status_to_win32(status), FALSE);
    return TRUE;
}

// Asks the server to cancel the handle's overlapped requests (the one of ov, or all);
// each still ends through its final response, cancelled or done anyway.
BOOL cancel_io_ex(HANDLE h, LPOVERLAPPED ov) {
    Ref<Remote> f(remote_ref(h));
    if (!f) return FALSE;
    std::vector<Op *> cancel;
    {
        std::lock_guard<std::mutex> lock(f->mu);
        for (Op *op : f->ops) {
            if (op->ov == nullptr || op->cancel_sent || (ov != nullptr && op->ov != ov)) continue;
            op->cancel_sent = true;
            op->refs.fetch_add(1, std::memory_order_relaxed);
            cancel.push_back(op);
        }
    }
    if (cancel.empty()) return fail<BOOL>(ERROR_NOT_FOUND, FALSE);
    for (Op *op : cancel) {
        call_cancel(op->call);
        op_unref(op);
    }
    return TRUE;
}

}  // namespace smb
