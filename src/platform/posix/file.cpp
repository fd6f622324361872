// Files: CreateFileA, ReadFile, WriteFile, FlushFileBuffers, SetFilePointer,
// DeleteFileA, GetFileAttributesA.
#include "file.h"

#include "../smb/win32_smb.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace plat {

namespace {

constexpr DWORD kErrorNegativeSeek = 131;
constexpr int kBusyRetries = 20;
constexpr useconds_t kBusyRetryUs = 10000;
constexpr DWORD kFileExecute = 0x0020;  // FILE_EXECUTE counts as read access for sharing

bool is_readonly(const struct stat &st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// SECURITY_ATTRIBUTES whose descriptor carries a NULL DACL: access for every account.
bool has_null_dacl(const SECURITY_ATTRIBUTES *sa) {
    if (sa == nullptr || sa->lpSecurityDescriptor == nullptr) return false;
    const SECURITY_DESCRIPTOR *sd = static_cast<const SECURITY_DESCRIPTOR *>(sa->lpSecurityDescriptor);
    const WORD kDaclPresent = 0x0004;
    return sd->Revision == SECURITY_DESCRIPTOR_REVISION && (sd->Control & kDaclPresent) != 0 && sd->Dacl == nullptr;
}

// Opens the descriptor read-write whenever the file allows it, so that the handle can
// hold write locks and announce itself; the handle's own access rights are enforced
// by the layer. Falls back to the mode the access needs.
int open_fd(const std::string &path, int create_flags, mode_t mode, bool want_read, bool want_write, bool *readable,
            bool *writable) {
    const int base = O_CLOEXEC | O_NOCTTY | create_flags;
    int fd = open(path.c_str(), O_RDWR | base, mode);
    if (fd >= 0) {
        *readable = *writable = true;
        return fd;
    }
    int err = errno;
    // EBUSY: a file server whose other client's open denies write; Windows would ask
    // only for the access wanted, which that open may well share.
    if (err != EACCES && err != EPERM && err != EROFS && err != ETXTBSY && err != EBUSY) return -1;
    if (want_read && want_write) {
        errno = err;
        return -1;
    }
    // One access: a descriptor of just that mode. None: a read-only one if possible.
    fd = open(path.c_str(), (want_write ? O_WRONLY : O_RDONLY) | base, mode);
    if (fd >= 0) {
        *readable = !want_write;
        *writable = want_write;
        return fd;
    }
    if (want_read || want_write) return -1;
    // No data access asked for: any descriptor will do, even one that cannot lock.
    fd = open(path.c_str(), O_PATH | base, mode);
    *readable = *writable = false;
    return fd;
}

// The error of a name that a look-up (which set errno) did not find.
DWORD lookup_error(const std::string &path) {
    return errno == ENOENT ? missing_name_error(path) : errno_to_win32(errno);
}

// What ReadFile and WriteFile check before any data moves, and where they start:
// the record's offset (for a write, all ones means the end of the file) or the
// file pointer. FALSE with the last error set; then nothing has been started.
BOOL begin_io(File *f, const void *buffer, DWORD count, OVERLAPPED *ov, bool write, EventRef *ev, uint64_t *off) {
    if (f->directory) return fail<BOOL>(ERROR_INVALID_FUNCTION, FALSE);
    if (!(write ? f->can_write : f->can_read)) return fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    if (buffer == nullptr && count != 0) return fail<BOOL>(ERROR_NOACCESS, FALSE);
    if (f->overlapped && ov == nullptr) return fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (ov != nullptr) {
        if (!begin_overlapped(ov, &f->sig, &ev->ev)) return FALSE;
        *off = u64_of(ov->Offset, ov->OffsetHigh);
        if (write && *off == UINT64_MAX) {
            struct stat st;
            if (fstat(f->fd, &st) != 0) return fail<BOOL>(errno_to_win32(errno), FALSE);
            *off = static_cast<uint64_t>(st.st_size);
        }
    } else {
        off_t pos = lseek(f->fd, 0, SEEK_CUR);
        if (pos < 0) return fail<BOOL>(errno_to_win32(errno), FALSE);
        *off = static_cast<uint64_t>(pos);
    }
    // A write must end within the largest file offset; a read just finds the end.
    if (*off > static_cast<uint64_t>(INT64_MAX) - (write ? count : 0))
        return fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    DWORD conflict = io_lock_conflict(f, *off, count, write);
    if (conflict != 0) return fail<BOOL>(conflict, FALSE);
    return TRUE;
}

// One try of DeleteFileA: from the look-up of the name to the unlink, no open of the
// machine comes between. A name that is not there needs no order.
DWORD delete_once(const std::string &path, bool *busy) {
    *busy = false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return lookup_error(path);
    MachineLock order;
    machine_lock(&order, true);
    if (lstat(path.c_str(), &st) != 0) return lookup_error(path);
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (S_ISREG(st.st_mode) && is_readonly(st)) return ERROR_ACCESS_DENIED;
    DWORD err = share_unlink(path, st.st_dev, st.st_ino, busy);
    return err == ERROR_FILE_NOT_FOUND ? missing_name_error(path) : err;
}

}  // namespace

File::~File() {
    share_release(this);  // a handle refused after its share check never closes
    if (fd >= 0) close(fd);
}

std::string posix_path(const char *name) {
    std::string out;
    if (name == nullptr) return out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p) {
        if (IsDBCSLeadByte(*p) && p[1] != 0) {
            out += static_cast<char>(p[0]);
            out += static_cast<char>(p[1]);
            ++p;
        } else {
            out += *p == '\\' ? '/' : static_cast<char>(*p);
        }
    }
    return out;
}

DWORD missing_name_error(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;  // the current folder exists
    std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

BOOL begin_overlapped(OVERLAPPED *ov, Signal *handle, Event **ev) {
    *ev = nullptr;
    HANDLE h = overlapped_event(ov);
    if (h != nullptr) {
        *ev = static_cast<Event *>(handle_ref(h, Kind::Event));
        if (*ev == nullptr) return FALSE;
    }
    __atomic_store_n(&ov->InternalHigh, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, kStatusPending, __ATOMIC_RELEASE);
    (*ev != nullptr ? &(*ev)->sig : handle)->reset();
    return TRUE;
}

void complete_overlapped(OVERLAPPED *ov, ULONG_PTR status, ULONG_PTR bytes, Event *ev, Signal *handle) {
    __atomic_store_n(&ov->InternalHigh, bytes, __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, status, __ATOMIC_RELEASE);
    (ev != nullptr ? &ev->sig : handle)->set();
}

}  // namespace plat

using plat::File;
using plat::Kind;
using plat::Ref;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)hTemplateFile;
    if (smb::is_unc(lpFileName))
        return smb::create_file(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                                dwFlagsAndAttributes);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        return plat::fail<HANDLE>(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string path = plat::posix_path(lpFileName);
    if (path.empty()) return plat::fail<HANDLE>(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);

    const DWORD a = dwDesiredAccess;
    const bool all = (a & GENERIC_ALL) != 0;
    const bool want_read = all || (a & (GENERIC_READ | GENERIC_EXECUTE | FILE_READ_DATA | plat::kFileExecute)) != 0;
    const bool want_write = all || (a & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    const bool want_delete = all || (a & DELETE) != 0;
    const bool truncate = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !want_write)
        return plat::fail<HANDLE>(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);

    const bool null_dacl = plat::has_null_dacl(lpSecurityAttributes);
    // Until the open has announced itself, no delete may look at the name; an open with
    // no read, write or delete access stands in no delete's way.
    plat::MachineLock order;
    if (want_read || want_write || want_delete) plat::machine_lock(&order, false);
    bool existed = false;
    bool readable = false, writable = false;
    bool is_dir = false;
    int fd = -1;
    // Two rounds at most: a file created or removed by someone else between the
    // look-up and the open sends us round again.
    for (int round = 0; round < 2 && fd < 0; ++round) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            existed = true;
            if (dwCreationDisposition == CREATE_NEW) return plat::fail<HANDLE>(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
            if (S_ISDIR(st.st_mode)) {
                if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || truncate)
                    return plat::fail<HANDLE>(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
                is_dir = true;
                fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd < 0) return plat::fail<HANDLE>(plat::errno_to_win32(errno), INVALID_HANDLE_VALUE);
                readable = true;
                break;
            }
            // The read-only attribute binds every account, root included.
            if (plat::is_readonly(st) && (want_write || truncate))
                return plat::fail<HANDLE>(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
            fd = plat::open_fd(path, 0, 0, want_read, want_write, &readable, &writable);
            if (fd < 0 && errno == ENOENT) continue;
        } else if (errno == ENOENT) {
            existed = false;
            if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)
                return plat::fail<HANDLE>(plat::missing_name_error(path), INVALID_HANDLE_VALUE);
            fd = plat::open_fd(path, O_CREAT | O_EXCL, 0666, want_read, want_write, &readable, &writable);
            if (fd < 0 && errno == EEXIST && dwCreationDisposition != CREATE_NEW) continue;
            // Creating needs the folder: a missing one is a path error.
            if (fd < 0 && errno == ENOENT) return plat::fail<HANDLE>(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
            if (fd >= 0 && null_dacl) fchmod(fd, 0666);  // not cut by the umask
        } else {
            return plat::fail<HANDLE>(plat::errno_to_win32(errno), INVALID_HANDLE_VALUE);
        }
        if (fd < 0) return plat::fail<HANDLE>(plat::errno_to_win32(errno), INVALID_HANDLE_VALUE);
    }
    if (fd < 0) return plat::fail<HANDLE>(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);  // the name kept changing

    File *f = new (std::nothrow) File();
    if (f == nullptr) {
        close(fd);
        return plat::fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    }
    f->fd = fd;
    f->fd_readable = readable;
    f->fd_writable = writable;
    f->can_read = want_read && !is_dir;
    f->can_write = want_write && !is_dir;
    f->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    f->directory = is_dir;
    DWORD err = plat::share_acquire(f, want_read, want_write, want_delete, dwShareMode);
    plat::machine_unlock(&order);
    // Truncation waits for the share check: a refused open leaves the content alone.
    if (err == 0 && truncate && existed && ftruncate(fd, 0) != 0) err = plat::errno_to_win32(errno);
    if (err != 0) {
        plat::object_unref(f);
        return plat::fail<HANDLE>(err, INVALID_HANDLE_VALUE);
    }
    HANDLE h = plat::handle_insert(f);
    if (h == nullptr) return INVALID_HANDLE_VALUE;  // last error set by the table
    const bool reports_existing = dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS;
    SetLastError(reports_existing && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

// ReadFile and WriteFile: the same checks and the same bookkeeping around the
// transfer. A read stops at the end of the file, and a read error after some data
// ends the read with that data.
static BOOL transfer(HANDLE hFile, const void *buffer, DWORD count, LPDWORD transferred, OVERLAPPED *ov,
                     bool write) {
    if (transferred != nullptr) *transferred = 0;
    Ref<File> f(plat::handle_ref(hFile, Kind::File));
    if (!f) return FALSE;
    plat::EventRef ev;
    uint64_t off = 0;
    if (!plat::begin_io(f.get(), buffer, count, ov, write, &ev, &off)) return FALSE;

    char *buf = static_cast<char *>(const_cast<void *>(buffer));
    DWORD done = 0;
    while (done < count) {
        const off_t at = static_cast<off_t>(off + done);
        ssize_t n = write ? pwrite(f->fd, buf + done, count - done, at) : pread(f->fd, buf + done, count - done, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (!write && done > 0) break;
            return plat::fail<BOOL>(!write && errno == EISDIR ? ERROR_INVALID_FUNCTION : plat::errno_to_win32(errno),
                                    FALSE);
        }
        if (n == 0 && !write) break;
        done += static_cast<DWORD>(n);
    }
    if (transferred != nullptr) *transferred = done;
    if (ov == nullptr || !f->overlapped) lseek(f->fd, static_cast<off_t>(off + done), SEEK_SET);
    if (ov == nullptr) return TRUE;  // end of file is a successful read of 0 bytes
    if (!write && done == 0 && count != 0) {
        plat::complete_overlapped(ov, plat::kStatusEndOfFile, 0, ev.ev, &f->sig);
        return plat::fail<BOOL>(ERROR_HANDLE_EOF, FALSE);
    }
    plat::complete_overlapped(ov, plat::kStatusSuccess, done, ev.ev, &f->sig);
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (smb::is_remote(hFile))
        return smb::read_file(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    return transfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped, false);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (smb::is_remote(hFile))
        return smb::write_file(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    return transfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped, true);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    if (smb::is_remote(hFile)) return smb::flush_file_buffers(hFile);
    Ref<File> f(plat::handle_ref(hFile, Kind::File));
    if (!f) return FALSE;
    // Linux syncs a read-only descriptor happily; Windows wants write access.
    if (!f->can_write) return plat::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    if (fsync(f->fd) != 0 && errno != EINVAL) return plat::fail<BOOL>(plat::errno_to_win32(errno), FALSE);
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    if (smb::is_remote(hFile)) return smb::set_file_pointer(hFile, lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod);
    Ref<File> f(plat::handle_ref(hFile, Kind::File));
    if (!f) return INVALID_SET_FILE_POINTER;
    int64_t dist = lpDistanceToMoveHigh != nullptr
                       ? static_cast<int64_t>(plat::u64_of(static_cast<DWORD>(lDistanceToMove), *lpDistanceToMoveHigh))
                       : lDistanceToMove;
    int64_t base;
    switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = lseek(f->fd, 0, SEEK_CUR); break;
    case FILE_END: {
        struct stat st;
        base = fstat(f->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
        break;
    }
    default: return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    if (base < 0) return plat::fail<DWORD>(plat::errno_to_win32(errno), INVALID_SET_FILE_POINTER);
    int64_t pos;
    if (__builtin_add_overflow(base, dist, &pos)) return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (pos < 0) return plat::fail<DWORD>(plat::kErrorNegativeSeek, INVALID_SET_FILE_POINTER);
    // Without a high part the position must fit 32 bits.
    if (lpDistanceToMoveHigh == nullptr && pos > 0xFFFFFFFF)
        return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (lseek(f->fd, static_cast<off_t>(pos), SEEK_SET) < 0)
        return plat::fail<DWORD>(plat::errno_to_win32(errno), INVALID_SET_FILE_POINTER);
    if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    DWORD low = static_cast<DWORD>(pos);
    // A low part that looks like the failure value tells success by a cleared error.
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (smb::is_unc(lpFileName)) return smb::delete_file(lpFileName);
    std::string path = plat::posix_path(lpFileName);
    if (path.empty()) return plat::fail<BOOL>(ERROR_PATH_NOT_FOUND, FALSE);
    // A server that refuses to unlink an open file answers EBUSY. The open may be one
    // this process closed a moment ago: FUSE sends the close to the server after
    // close() has returned, where Windows has closed it there already. A refusal that
    // lasts is another client's open. The machine's opens go on between the tries.
    for (int tries = 0;; ++tries) {
        bool busy = false;
        DWORD err = plat::delete_once(path, &busy);
        if (err == 0) return TRUE;
        if (!busy || tries == plat::kBusyRetries) return plat::fail<BOOL>(err, FALSE);
        usleep(plat::kBusyRetryUs);
    }
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (smb::is_unc(lpFileName)) return smb::get_file_attributes(lpFileName);
    std::string path = plat::posix_path(lpFileName);
    if (path.empty()) return plat::fail<DWORD>(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return plat::fail<DWORD>(plat::lookup_error(path), INVALID_FILE_ATTRIBUTES);
    DWORD attrs = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (plat::is_readonly(st)) attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs;
}
