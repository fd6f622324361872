// Share modes between all opens of a file on the machine.
//
// Linux has no share modes, so every open announces itself with read locks on
// reserved bytes of the file: one byte per access it holds (read, write, delete) and
// one per access it does not share. A new open is refused when another open denies
// an access it wants, or holds an access it does not share; this is the rule of
// Windows' share check. Opens whose access has no read, write or delete part take no
// part, both ways. The locks are advisory: only processes on this layer see them.
#include "file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace plat {

namespace {

enum : uint64_t { kMutex = 0, kAccess = 1, kDeny = 4 };  // kAccess/kDeny + 0 read, 1 write, 2 delete

constexpr int kBusyRetries = 20;
constexpr useconds_t kBusyRetryUs = 10000;

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

}  // namespace

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
    return err;
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

DWORD share_unlink(const std::string &path, dev_t dev, ino_t ino) {
    // The delete shares everything, as Windows' does, so only opens that deny delete
    // stand in its way.
    int denied = deny_delete_listed(dev, ino);
    if (denied < 0) {
        // Without the list, a probe: closed before the unlink, never held across it.
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        denied = fd >= 0 && ofd_conflict(fd, F_WRLCK, kReservedBase + kDeny + 2, 1);
        if (fd >= 0) close(fd);
    }
    if (denied) return ERROR_SHARING_VIOLATION;
    // A server that refuses to unlink an open file answers EBUSY. The open may be one
    // this process closed a moment ago: FUSE sends the close to the server after
    // close() has returned, where Windows has closed it there already. A refusal that
    // lasts is another client's open.
    for (int tries = 0;; ++tries) {
        if (unlink(path.c_str()) == 0) return 0;
        if (errno != EBUSY || tries == kBusyRetries) return errno_to_win32(errno);
        usleep(kBusyRetryUs);
    }
}

}  // namespace plat
