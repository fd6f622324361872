// Byte-range locks with Windows semantics: LockFileEx, UnlockFileEx, the pending
// request of an overlapped handle, GetOverlappedResult and CancelIoEx.
//
// Each handle keeps its locks in a table (stacking, self-conflict, exact-match
// unlock, the two-unlock rule) and holds the union of the table as open-file-
// description locks on its own descriptor, which is what other handles, in this
// process or another, conflict with. A request that has to wait re-tries every few
// milliseconds; an overlapped handle's request does so on a thread of its own.
#include "file.h"

#include "../smb/win32_smb.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <new>

namespace plat {

namespace {

typedef unsigned __int128 u128;

constexpr auto kRetry = std::chrono::milliseconds(10);

u128 end_of(uint64_t off, uint64_t len) { return static_cast<u128>(off) + len; }

// Overlap as Windows judges it; a zero-length lock sits at its offset and conflicts
// with a range that contains that offset.
bool overlaps(uint64_t a_off, uint64_t a_len, uint64_t b_off, uint64_t b_len) {
    if (a_len == 0 && b_len == 0) return false;
    if (a_len == 0) return b_off <= a_off && a_off < end_of(b_off, b_len);
    if (b_len == 0) return a_off <= b_off && b_off < end_of(a_off, a_len);
    return a_off < end_of(b_off, b_len) && b_off < end_of(a_off, a_len);
}

// The part of a range that the kernel lock represents.
bool kernel_range(uint64_t off, uint64_t len, uint64_t *k_off, uint64_t *k_end) {
    if (len == 0 || off >= kReservedBase) return false;
    u128 end = end_of(off, len);
    *k_off = off;
    *k_end = end > kReservedBase ? kReservedBase : static_cast<uint64_t>(end);
    return true;
}

// Sets the kernel lock over the part of [off, off+len) that it represents to the
// union of the table: write where an exclusive entry covers, read where only shared
// ones do, none elsewhere. Returns 0 or the errno of the first segment that could not
// be raised.
int apply_union(File *f, uint64_t off, uint64_t len) {
    uint64_t from, to;
    if (!kernel_range(off, len, &from, &to)) return 0;
    std::vector<uint64_t> cuts = {from, to};
    for (const LockEntry &e : f->locks) {
        uint64_t k_off, k_end;
        if (!kernel_range(e.off, e.len, &k_off, &k_end)) continue;
        if (k_off > from && k_off < to) cuts.push_back(k_off);
        if (k_end > from && k_end < to) cuts.push_back(k_end);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        uint64_t s = cuts[i], e = cuts[i + 1];
        short type = F_UNLCK;
        for (const LockEntry &l : f->locks) {
            uint64_t k_off, k_end;
            if (!kernel_range(l.off, l.len, &k_off, &k_end) || k_off > s || k_end < e) continue;
            if (l.exclusive) {
                type = F_WRLCK;
                break;
            }
            type = F_RDLCK;
        }
        // A descriptor without write access holds its exclusive locks as read locks:
        // other handles still cannot lock exclusively, but can share.
        if (type == F_WRLCK && !f->fd_writable) type = F_RDLCK;
        // A write-only descriptor cannot hold a read lock: its shared locks stay in the
        // table, seen by this handle only.
        if (type == F_RDLCK && !f->fd_readable) type = F_UNLCK;
        int err = ofd_lock(f->fd, F_OFD_SETLK, type, s, e - s);
        if (err != 0) return err;
    }
    return 0;
}

enum Grant { kGranted, kConflict, kFailed };

// One attempt to take a lock for the handle; f->mu is held. On kFailed *err is set.
Grant try_grant(File *f, uint64_t off, uint64_t len, bool exclusive, DWORD *err) {
    if (f->closing) {
        *err = ERROR_OPERATION_ABORTED;
        return kFailed;
    }
    // An exclusive lock may not overlap any lock, the handle's own included; a shared
    // one may overlap the handle's own locks of either kind.
    if (exclusive)
        for (const LockEntry &e : f->locks)
            if (overlaps(e.off, e.len, off, len)) return kConflict;
    f->locks.push_back(LockEntry{off, len, exclusive});
    int rc = apply_union(f, off, len);
    if (rc == 0) return kGranted;
    f->locks.pop_back();
    apply_union(f, off, len);  // back to the previous union; lowering never fails
    if (rc == EAGAIN || rc == EACCES) return kConflict;
    // A file system without lock support must not pass for a conflict (or for a
    // granted lock): the caller learns that locking is not supported.
    *err = rc == ENOLCK ? ERROR_NOT_SUPPORTED : errno_to_win32(rc);
    return kFailed;
}

void pending_main(PendingLock *p) {
    File *f = p->file;
    ULONG_PTR status;
    {
        std::unique_lock<std::mutex> lock(f->mu);
        DWORD err = 0;
        Grant g = kConflict;  // what a request cancelled before its first try counts as
        while (!p->cancelled && (g = try_grant(f, p->off, p->len, p->exclusive, &err)) == kConflict)
            f->cv.wait_for(lock, kRetry);
        if (g == kGranted)
            status = kStatusSuccess;
        else if (g == kConflict || err == ERROR_OPERATION_ABORTED)
            status = kStatusCancelled;
        else
            status = kStatusLockNotGranted;
        p->done = true;
    }
    // From here on the OVERLAPPED belongs to the caller again.
    complete_overlapped(p->ov, status, 0, p->event, &f->sig);
    if (p->event) object_unref(p->event);
    p->event = nullptr;
}

// Joins the threads of requests that have ended; f->mu is held.
void reap_pending(File *f) {
    auto it = f->pending.begin();
    while (it != f->pending.end()) {
        if ((*it)->done) {
            (*it)->worker.join();
            delete *it;
            it = f->pending.erase(it);
        } else {
            ++it;
        }
    }
}

// The file and range of a LockFileEx or UnlockFileEx call (the file referenced), or
// nullptr with the last error set.
File *lock_call(HANDLE h, const OVERLAPPED *ov, DWORD reserved, DWORD low, DWORD high, uint64_t *off, uint64_t *len) {
    File *f = static_cast<File *>(handle_ref(h, Kind::File));
    if (f == nullptr) return nullptr;
    *off = ov != nullptr ? u64_of(ov->Offset, ov->OffsetHigh) : 0;
    *len = u64_of(low, high);
    if (ov != nullptr && reserved == 0 && end_of(*off, *len) <= (static_cast<u128>(1) << 64)) return f;
    object_unref(f);
    return fail<File *>(ERROR_INVALID_PARAMETER, nullptr);
}

}  // namespace

void File::on_close() {
    std::vector<PendingLock *> ending;
    {
        std::lock_guard<std::mutex> lock(mu);
        closing = true;
        for (PendingLock *p : pending) p->cancelled = true;
        ending.swap(pending);
    }
    cv.notify_all();
    for (PendingLock *p : ending) {
        p->worker.join();
        delete p;
    }
    // Locks and announcements end with the handle, before CloseHandle returns, even if
    // another thread's call still holds the descriptor open for a moment.
    std::lock_guard<std::mutex> lock(mu);
    locks.clear();
    if (fd_readable || fd_writable) ofd_lock(fd, F_OFD_SETLK, F_UNLCK, 0, 0);
    share_release(this);
}

// Windows enforces byte-range locks on ReadFile and WriteFile; the checks of the tool
// (and its tests run on this layer) rely on the same answers. The check precedes the
// transfer without excluding a lock taken in between, a window Windows does not have.
DWORD io_lock_conflict(File *f, uint64_t off, uint64_t len, bool write) {
    uint64_t k_off, k_end;
    if (len == 0) return 0;
    std::lock_guard<std::mutex> lock(f->mu);
    // A shared lock keeps every handle from writing, its owner too.
    if (write)
        for (const LockEntry &e : f->locks)
            if (!e.exclusive && overlaps(e.off, e.len, off, len)) return ERROR_LOCK_VIOLATION;
    if (!kernel_range(off, len, &k_off, &k_end)) return 0;
    if (!f->fd_readable && !f->fd_writable) return 0;
    return ofd_conflict(f->fd, write ? F_WRLCK : F_RDLCK, k_off, k_end - k_off) ? ERROR_LOCK_VIOLATION : 0;
}

}  // namespace plat

using plat::File;
using plat::Kind;
using plat::Ref;

BOOL WINAPI LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                       DWORD nNumberOfBytesToLockHigh, LPOVERLAPPED lpOverlapped) {
    if (smb::is_remote(hFile))
        return smb::lock_file_ex(hFile, dwFlags, dwReserved, nNumberOfBytesToLockLow, nNumberOfBytesToLockHigh,
                                 lpOverlapped);
    uint64_t off, len;
    Ref<File> f(plat::lock_call(hFile, lpOverlapped, dwReserved, nNumberOfBytesToLockLow, nNumberOfBytesToLockHigh,
                                &off, &len));
    if (!f) return FALSE;
    if (!f->can_read && !f->can_write) return plat::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    const bool exclusive = (dwFlags & LOCKFILE_EXCLUSIVE_LOCK) != 0;

    plat::EventRef ev;
    if (!plat::begin_overlapped(lpOverlapped, &f->sig, &ev.ev)) return FALSE;

    std::unique_lock<std::mutex> lock(f->mu);
    plat::reap_pending(f.get());
    DWORD err = 0;
    plat::Grant g = plat::try_grant(f.get(), off, len, exclusive, &err);
    const bool wait = (dwFlags & LOCKFILE_FAIL_IMMEDIATELY) == 0;
    if (g == plat::kConflict && wait && f->overlapped) {
        auto *p = new (std::nothrow) plat::PendingLock{f.get(), lpOverlapped, ev.ev, off, len, exclusive};
        if (p == nullptr) return plat::fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
        try {
            p->worker = std::thread(plat::pending_main, p);
        } catch (...) {
            delete p;
            return plat::fail<BOOL>(ERROR_NOT_ENOUGH_MEMORY, FALSE);
        }
        ev.ev = nullptr;  // the request keeps the reference
        f->pending.push_back(p);
        return plat::fail<BOOL>(ERROR_IO_PENDING, FALSE);
    }
    // A synchronous handle waits in the calling thread.
    while (g == plat::kConflict && wait) {
        f->cv.wait_for(lock, plat::kRetry);
        g = plat::try_grant(f.get(), off, len, exclusive, &err);
    }
    lock.unlock();
    if (g == plat::kGranted) {
        plat::complete_overlapped(lpOverlapped, plat::kStatusSuccess, 0, ev.ev, &f->sig);
        return TRUE;
    }
    return plat::fail<BOOL>(g == plat::kConflict ? ERROR_LOCK_VIOLATION : err, FALSE);
}

BOOL WINAPI UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                         DWORD nNumberOfBytesToUnlockHigh, LPOVERLAPPED lpOverlapped) {
    if (smb::is_remote(hFile))
        return smb::unlock_file_ex(hFile, dwReserved, nNumberOfBytesToUnlockLow, nNumberOfBytesToUnlockHigh,
                                   lpOverlapped);
    uint64_t off, len;
    Ref<File> f(plat::lock_call(hFile, lpOverlapped, dwReserved, nNumberOfBytesToUnlockLow,
                                nNumberOfBytesToUnlockHigh, &off, &len));
    if (!f) return FALSE;
    {
        std::lock_guard<std::mutex> lock(f->mu);
        // Exactly one lock of exactly this range goes; of an exclusive and a shared lock
        // on the same range the exclusive one goes first.
        auto &locks = f->locks;
        auto match = locks.end();
        for (auto it = locks.begin(); it != locks.end(); ++it) {
            if (it->off != off || it->len != len) continue;
            if (match == locks.end() || (it->exclusive && !match->exclusive)) match = it;
        }
        if (match == locks.end()) return plat::fail<BOOL>(ERROR_NOT_LOCKED, FALSE);
        locks.erase(match);
        plat::apply_union(f.get(), off, len);
    }
    f->cv.notify_all();
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    if (lpOverlapped == nullptr) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    ULONG_PTR status = __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE);
    if (status == plat::kStatusPending) {
        if (!bWait) return plat::fail<BOOL>(ERROR_IO_INCOMPLETE, FALSE);
        HANDLE evh = plat::overlapped_event(lpOverlapped);
        Ref<plat::Object> waitable(plat::handle_ref_any(evh != nullptr ? evh : hFile));
        if (!waitable) return FALSE;
        if (evh == nullptr && waitable->kind != Kind::File && waitable->kind != Kind::RemoteFile)
            return plat::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
        while ((status = __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)) == plat::kStatusPending) {
            // The signal may have been taken by another waiter; look again now and then.
            waitable->wait(50);
        }
    }
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED));
    // The record holds an NTSTATUS: the layer's own, or a file server's.
    if (status != plat::kStatusSuccess) return plat::fail<BOOL>(smb::status_to_win32((uint32_t)status), FALSE);
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    if (smb::is_remote(hFile)) return smb::cancel_io_ex(hFile, lpOverlapped);
    Ref<File> f(plat::handle_ref(hFile, Kind::File));
    if (!f) return FALSE;
    int matched = 0;
    {
        std::lock_guard<std::mutex> lock(f->mu);
        for (plat::PendingLock *p : f->pending) {
            if (p->done || p->cancelled) continue;
            if (lpOverlapped != nullptr && p->ov != lpOverlapped) continue;
            p->cancelled = true;
            ++matched;
        }
    }
    if (matched == 0) return plat::fail<BOOL>(ERROR_NOT_FOUND, FALSE);
    f->cv.notify_all();
    return TRUE;
}
