#include "handles.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>

namespace plat {

namespace {

constexpr size_t kMaxHandles = 4096;

std::mutex table_mutex;
Object *table[kMaxHandles];

// Handle values are multiples of 4 starting at 4, as on Windows: never NULL and
// never INVALID_HANDLE_VALUE.
size_t slot_of(HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0) return kMaxHandles;
    return v / 4 - 1;
}

}  // namespace

HANDLE handle_insert(Object *obj) {
    std::lock_guard<std::mutex> lock(table_mutex);
    for (size_t i = 0; i < kMaxHandles; ++i) {
        if (table[i] == nullptr) {
            table[i] = obj;
            return reinterpret_cast<HANDLE>((i + 1) * 4);
        }
    }
    delete obj;
    return fail<HANDLE>(ERROR_TOO_MANY_OPEN_FILES, nullptr);
}

HANDLE handle_insert_unnamed(LPCSTR name, Object *obj) {
    if (name != nullptr && name[0] != '\0') {
        delete obj;
        return fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
    }
    if (obj == nullptr) return fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    HANDLE h = handle_insert(obj);
    if (h != nullptr) SetLastError(ERROR_SUCCESS);
    return h;
}

Object *handle_ref_any(HANDLE h) {
    size_t i = slot_of(h);
    std::lock_guard<std::mutex> lock(table_mutex);
    if (i >= kMaxHandles || table[i] == nullptr) return fail<Object *>(ERROR_INVALID_HANDLE, nullptr);
    table[i]->refs.fetch_add(1, std::memory_order_relaxed);
    return table[i];
}

Object *handle_ref(HANDLE h, Kind kind) {
    Object *o = handle_ref_any(h);
    if (o && o->kind != kind) {
        object_unref(o);
        return fail<Object *>(ERROR_INVALID_HANDLE, nullptr);
    }
    return o;
}

void object_unref(Object *obj) {
    if (obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete obj;
}

BOOL handle_close(HANDLE h) {
    size_t i = slot_of(h);
    Object *o;
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        if (i >= kMaxHandles || table[i] == nullptr) return fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
        o = table[i];
        table[i] = nullptr;
    }
    o->on_close();
    object_unref(o);
    return TRUE;
}

int start_detached(void *(*fn)(void *), void *arg, size_t stack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack != 0) {
        // Windows rounds the size up; a too small one still gets a working stack.
        size_t page = (size_t)sysconf(_SC_PAGESIZE);
        size_t size = stack < (size_t)PTHREAD_STACK_MIN ? (size_t)PTHREAD_STACK_MIN : stack;
        pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
    }
    pthread_t t;
    int rc = pthread_create(&t, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

DWORD errno_to_win32(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL:
    case EOVERFLOW: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ETXTBSY:
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO: return ERROR_GEN_FAILURE;
    case ENOLCK: return ERROR_LOCK_FAILED;
    case ESTALE:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ECONNRESET: return ERROR_NETNAME_DELETED;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case EINTR: return ERROR_OPERATION_ABORTED;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace plat

BOOL WINAPI CloseHandle(HANDLE hObject) { return plat::handle_close(hObject); }

namespace {
thread_local DWORD t_last_error = 0;
}

DWORD WINAPI GetLastError(void) { return t_last_error; }
void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
