// Share modes between all opens of a file on the machine.
//
// Linux has no share modes, so every open announces itself with read locks on
// reserved bytes of the file: one byte per access it holds (read, write, delete) and
// one per access it does not share. A new open is refused when another open denies
// an access it wants, or holds an access it does not share; this is the rule of
// Windows' share check. Opens whose access has no read, write or delete part take no
// part, both ways. The locks are advisory: only processes on this layer see them.
//
// A delete checks the announcements and then unlinks; an open finds or creates the
// file and then announces itself. So that no delete falls between the two steps of
// an open, which would leave a handle whose name is gone where Windows refuses the
// delete, opens and deletes are ordered by one lock of the machine: a lock on a
// local file, so that files of every file system share it and a delete opens nothing
// where the file lives.
//
// The delete cannot ask the file, so it asks that local file: each process holds a
// read lock on a byte of it chosen by a file's device and inode while any of its
// handles denies delete access to that file. The kernel answers for the machine at
// once, where its list of every lock comes a page per read and loses the locks that go
// away meanwhile from pages already read; the list still shows other builds' opens.
#include "file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace plat {

namespace {

enum : uint64_t { kMutex = 0, kAccess = 1, kDeny = 4 };  // kAccess/kDeny + 0 read, 1 write, 2 delete

// Every account's processes must find the same file: a fixed name in the folder that
// every account may write to.
constexpr char kMachineLockFile[] = "/tmp/.kav-share-lock";
constexpr auto kMachineLockWait = std::chrono::seconds(1);

// flock belongs to the open file description, so each thread has a description of its
// own and the kernel orders the threads of a process as it orders processes.
struct ThreadLockFile {
    int fd = -1;
    ~ThreadLockFile() {
        if (fd >= 0) close(fd);
    }
};
thread_local ThreadLockFile t_lock_file;

// Per kind (shared, exclusive): set when a wait ran out, which means a stopped holder
// (the kernel frees a dead one's lock). Until that kind is had again, calls try once
// instead of each waiting in turn.
std::atomic<bool> g_lock_stuck[2] = {};

// The handles of this process that deny delete access to their files, linked through
// File::next_denial. Each such file is marked by a read lock of the process's own
// description of the lock file on the file's byte, held while any of them is open.
std::mutex g_denials_mu;
File *g_denials = nullptr;
int g_denials_fd = -1;

// A byte below 2^62 for the file, by a mix of its device and inode.
uint64_t denial_byte(dev_t dev, ino_t ino) {
    uint64_t x = static_cast<uint64_t>(ino) ^ static_cast<uint64_t>(dev) * 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return (x ^ (x >> 31)) >> 2;
}

// -1 while the file cannot be opened (or created); then calls go unordered.
int lock_file_fd() {
    if (t_lock_file.fd >= 0) return t_lock_file.fd;
    // Read access is all flock needs. The name is opened before it is created: a sticky
    // folder refuses O_CREAT on another account's file (fs.protected_regular).
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = open(kMachineLockFile, flags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(kMachineLockFile, flags | O_CREAT | O_EXCL, 0444);
        if (fd >= 0) fchmod(fd, 0444);  // not cut by the umask: every account opens it
        if (fd < 0 && errno == EEXIST) fd = open(kMachineLockFile, flags);
    }
    t_lock_file.fd = fd;
    return fd;
}

struct flock range_lock(short type, uint64_t off, uint64_t len) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(off);
    fl.l_len = static_cast<off_t>(len);
    return fl;
}

}  // namespace

int ofd_lock(int fd, int cmd, short type, uint64_t off, uint64_t len) {
    struct flock fl = range_lock(type, off, len);
    for (;;) {
        if (fcntl(fd, cmd, &fl) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

bool ofd_conflict(int fd, short type, uint64_t off, uint64_t len) {
    struct flock fl = range_lock(type, off, len);
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

namespace {

// Every open announces itself first and checks the others after, so two opens racing
// are never both admitted. The exclusive lock on the mutex byte around it keeps them
// from both being refused. The wait for the mutex is bounded, so that an open stopped
// half-way (a frozen thread, a stopped process) cannot block every later open; a
// descriptor that cannot hold a write lock goes without it.
bool take_mutex(int fd, bool writable) {
    if (!writable) return false;
    for (int i = 0; i < 1000; ++i) {
        int rc = ofd_lock(fd, F_OFD_SETLK, F_WRLCK, kReservedBase + kMutex, 1);
        if (rc == 0) return true;
        if (rc != EAGAIN && rc != EACCES) return false;
        usleep(1000);
    }
    return false;
}

// Whether another handle of this process marks the byte already; under g_denials_mu.
bool marked(uint64_t byte) {
    for (File *o = g_denials; o != nullptr; o = o->next_denial)
        if (o->denial == byte) return true;
    return false;
}

// Marks that the handle denies delete access to its file; without the mark (no lock
// file) only the kernel's list shows it.
void mark_denial(File *f) {
    struct stat st;
    if (fstat(f->fd, &st) != 0) return;
    f->denial = denial_byte(st.st_dev, st.st_ino);
    std::lock_guard<std::mutex> lock(g_denials_mu);
    if (g_denials_fd < 0) g_denials_fd = open(kMachineLockFile, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (g_denials_fd < 0) return;
    if (!marked(f->denial) && ofd_lock(g_denials_fd, F_OFD_SETLK, F_RDLCK, f->denial, 1) != 0) return;
    f->next_denial = g_denials;
    g_denials = f;
    f->denial_marked = true;
}

}  // namespace

// The wait is bounded, as the mutex byte's: a stopped holder must not stop every open
// and delete of the machine. Polls, since flock has no timed wait; the first try is
// the only call when nobody else holds it.
void machine_lock(MachineLock *m, bool exclusive) {
    m->fd = -1;
    const int fd = lock_file_fd();
    if (fd < 0) return;
    const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    std::atomic<bool> &stuck = g_lock_stuck[exclusive];
    std::chrono::steady_clock::time_point deadline{};
    useconds_t pause = 50;
    while (flock(fd, op) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || stuck.load(std::memory_order_relaxed)) return;
        const auto now = std::chrono::steady_clock::now();
        if (deadline == std::chrono::steady_clock::time_point{}) {
            deadline = now + kMachineLockWait;
        } else if (now >= deadline) {
            stuck.store(true, std::memory_order_relaxed);
            return;
        }
        usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 1000);
    }
    if (stuck.load(std::memory_order_relaxed)) stuck.store(false, std::memory_order_relaxed);
    m->fd = fd;
}

void machine_unlock(MachineLock *m) {
    if (m->fd >= 0) flock(m->fd, LOCK_UN);
    m->fd = -1;
}

DWORD share_acquire(File *f, bool read, bool write, bool del, DWORD share) {
    if (!read && !write && !del) return 0;
    // Read locks need a readable descriptor; a write-only one cannot take part.
    if (!f->fd_readable) return 0;
    const bool want[3] = {read, write, del};
    const bool shared[3] = {(share & FILE_SHARE_READ) != 0, (share & FILE_SHARE_WRITE) != 0,
                            (share & FILE_SHARE_DELETE) != 0};
    const bool mutex = take_mutex(f->fd, f->fd_writable);
    for (int i = 0; i < 3; ++i) {
        if (want[i]) ofd_lock(f->fd, F_OFD_SETLK, F_RDLCK, kReservedBase + kAccess + i, 1);
        if (!shared[i]) ofd_lock(f->fd, F_OFD_SETLK, F_RDLCK, kReservedBase + kDeny + i, 1);
    }
    DWORD err = 0;
    for (int i = 0; i < 3 && err == 0; ++i) {
        if (want[i] && ofd_conflict(f->fd, F_WRLCK, kReservedBase + kDeny + i, 1)) err = ERROR_SHARING_VIOLATION;
        if (!shared[i] && ofd_conflict(f->fd, F_WRLCK, kReservedBase + kAccess + i, 1))
            err = ERROR_SHARING_VIOLATION;
    }
    if (err != 0) ofd_lock(f->fd, F_OFD_SETLK, F_UNLCK, kReservedBase + kAccess, 6);
    if (mutex) ofd_lock(f->fd, F_OFD_SETLK, F_UNLCK, kReservedBase + kMutex, 1);
    if (err == 0 && !shared[2] && !f->directory) mark_denial(f);
    return err;
}

void share_release(File *f) {
    if (!f->denial_marked) return;
    std::lock_guard<std::mutex> lock(g_denials_mu);
    File **at = &g_denials;
    while (*at != f) at = &(*at)->next_denial;
    *at = f->next_denial;
    f->denial_marked = false;
    if (!marked(f->denial)) ofd_lock(g_denials_fd, F_OFD_SETLK, F_UNLCK, f->denial, 1);
}

namespace {

// 1 when some open on this machine announces that it does not share delete access
// to the file (device, inode), 0 when none does, -1 when the kernel's lock list
// cannot be read. The list is read instead of the file: a descriptor of our own
// is an open on a network file system's server, where Windows' delete puts none
// beyond its own, and some servers refuse to unlink a file any client holds open.
int deny_delete_listed(dev_t dev, ino_t ino) {
    FILE *list = fopen("/proc/locks", "re");
    if (list == nullptr) return -1;
    const unsigned long long deny = kReservedBase + kDeny + 2;
    char line[256];
    int found = 0;
    while (found == 0 && fgets(line, sizeof line, list) != nullptr) {
        if (strstr(line, "->") != nullptr) continue;  // a waiter, not a holder
        // "N: OFDLCK ADVISORY READ PID MAJ:MIN:INODE START END"
        const char *at = line;
        unsigned maj = 0, mnr = 0;
        unsigned long long inode = 0, start = 0, end = 0;
        char end_text[24] = "";
        for (int field = 0; field < 5 && at != nullptr; ++field) {
            at = strchr(at, ' ');
            while (at != nullptr && *at == ' ') ++at;
        }
        if (at == nullptr || sscanf(at, "%x:%x:%llu %llu %23s", &maj, &mnr, &inode, &start, end_text) != 5) continue;
        end = strcmp(end_text, "EOF") == 0 ? UINT64_MAX : strtoull(end_text, nullptr, 10);
        if (makedev(maj, mnr) == dev && inode == ino && start <= deny && deny <= end) found = 1;
    }
    fclose(list);
    return found;
}

}  // namespace

DWORD share_unlink(const std::string &path, dev_t dev, ino_t ino, bool *busy) {
    *busy = false;
    // The delete shares everything, as Windows' does, so only opens that deny delete
    // stand in its way.
    const int marks = lock_file_fd();
    int denied = marks >= 0 && ofd_conflict(marks, F_WRLCK, denial_byte(dev, ino), 1);
    if (!denied) denied = deny_delete_listed(dev, ino);
    if (denied < 0) {
        // Without the list, a probe: closed before the unlink, never held across it.
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        denied = fd >= 0 && ofd_conflict(fd, F_WRLCK, kReservedBase + kDeny + 2, 1);
        if (fd >= 0) close(fd);
    }
    if (denied) return ERROR_SHARING_VIOLATION;
    if (unlink(path.c_str()) == 0) return 0;
    *busy = errno == EBUSY;
    return errno_to_win32(errno);
}

}  // namespace plat
