// File handles of the POSIX layer: one open file description per handle, so that
// byte-range locks (open-file-description locks) and share-mode announcements
// belong to the handle, as on Windows.
#pragma once

#include "event.h"

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plat {

// NTSTATUS values the layer stores into OVERLAPPED.Internal.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011;
constexpr ULONG_PTR kStatusLockNotGranted = 0xC0000055;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

// Bytes from this offset up are reserved for the share-mode announcements; byte-range
// locks above it are kept in the handle's table only.
constexpr uint64_t kReservedBase = 1ULL << 62;

struct LockEntry {
    uint64_t off;
    uint64_t len;
    bool exclusive;
};

struct File;

// A waiting LockFileEx on an overlapped handle, served by a thread of its own.
struct PendingLock {
    File *file = nullptr;
    OVERLAPPED *ov = nullptr;
    Event *event = nullptr;  // referenced; nullptr: the file handle is signalled
    uint64_t off = 0;
    uint64_t len = 0;
    bool exclusive = false;
    bool cancelled = false;  // guarded by the file's mutex
    bool done = false;       // guarded by the file's mutex
    std::thread worker{};
};

struct File : Object {
    File() : Object(Kind::File), sig(true, false) {}
    ~File() override;
    void on_close() override;
    DWORD wait(DWORD ms) override { return sig.wait(ms); }

    int fd = -1;
    bool fd_readable = false;
    bool fd_writable = false;
    bool can_read = false;   // the handle's access rights, not the descriptor's mode
    bool can_write = false;
    bool overlapped = false;
    bool directory = false;
    bool denial_marked = false;     // the handle denies delete, marked on the machine's lock file
    uint64_t denial = 0;            // the byte of that mark
    File *next_denial = nullptr;    // the process's next handle with a mark
    Signal sig;  // the handle as a waitable object

    std::mutex mu;               // guards everything below
    std::condition_variable cv;  // lock waiters poll on it; notified on unlock and close
    std::vector<LockEntry> locks;
    std::vector<PendingLock *> pending;
    bool closing = false;
};

// Windows path (either separator) to the POSIX path; DBCS trail bytes are kept.
std::string posix_path(const char *name);

// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND for a name that does not exist,
// depending on whether its folder exists.
DWORD missing_name_error(const std::string &path);

// Mandatory-lock check of a read or write through the handle: ERROR_LOCK_VIOLATION
// when another handle's exclusive lock (read) or any lock (write; the handle's own
// shared locks included) covers part of the range, else 0.
DWORD io_lock_conflict(File *f, uint64_t off, uint64_t len, bool write);

// The machine's order of opens and deletes: an open holds it shared from its look-up
// of the name to its announcement, a delete exclusively from its look-up to the
// unlink. fd is -1 when it is not held: it could not be had within a bounded wait, or
// its file cannot be opened; the call then goes on unordered.
struct MachineLock;
void machine_lock(MachineLock *m, bool exclusive);
void machine_unlock(MachineLock *m);
struct MachineLock {
    int fd = -1;
    ~MachineLock() { machine_unlock(this); }
};

// Share modes: announce this open's access and denials and check them against every
// other open of the file on the machine. 0 or ERROR_SHARING_VIOLATION.
DWORD share_acquire(File *f, bool read, bool write, bool del, DWORD share);
// Ends what share_acquire marked beyond the handle's own locks; again is harmless.
void share_release(File *f);
// Unlinks the file (device, inode) unless some open of it does not share delete
// access (ERROR_SHARING_VIOLATION); holds no descriptor of the file meanwhile.
// 0 or the Win32 error; *busy when the unlink was refused with EBUSY.
DWORD share_unlink(const std::string &path, dev_t dev, ino_t ino, bool *busy);

// A 64-bit offset or length given as its two 32-bit halves.
inline uint64_t u64_of(DWORD low, DWORD high) { return low | (static_cast<uint64_t>(high) << 32); }

// A reference to an event for the length of one call, or none.
struct EventRef {
    Event *ev = nullptr;
    ~EventRef() {
        if (ev) object_unref(ev);
    }
};

// The event of an OVERLAPPED; its low bit only steers completion ports.
inline HANDLE overlapped_event(const OVERLAPPED *ov) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ov->hEvent) & ~static_cast<uintptr_t>(1));
}

// Starts a request that carries an OVERLAPPED: the record says pending and the event
// (or the handle, whose signal is handle) is reset until the request ends, as on
// Windows; a request refused at once leaves both so. *ev receives a reference to the
// event, or nullptr. FALSE with ERROR_INVALID_HANDLE when the event is not an event.
BOOL begin_overlapped(OVERLAPPED *ov, Signal *handle, Event **ev);

// Stores the final status of an overlapped request and signals its event (or the
// handle when the request has none).
void complete_overlapped(OVERLAPPED *ov, ULONG_PTR status, ULONG_PTR bytes, Event *ev, Signal *handle);

}  // namespace plat

namespace plat {

// One open-file-description lock operation (F_OFD_SETLK, F_OFD_SETLKW); 0 or errno.
int ofd_lock(int fd, int cmd, short type, uint64_t off, uint64_t len);
// True when a description other than fd's holds a lock on the range that conflicts
// with a lock of the given type.
bool ofd_conflict(int fd, short type, uint64_t off, uint64_t len);

}  // namespace plat
