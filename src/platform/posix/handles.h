// Handle table of the POSIX layer: every kernel-object handle the layer hands out
// (file, event, waitable timer, thread, and the SMB layer's remote files) is an index
// into one process-wide table.
#pragma once

#include "../win32.h"

#include <atomic>

namespace plat {

enum class Kind { File, Event, Timer, Thread, RemoteFile };

// A kernel object. References are counted so that a handle closed by one thread
// while another is still inside a call on it stays valid until that call ends.
struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    // Called once when the last handle to the object is closed, before the
    // object's remaining references are dropped (cancel pending I/O, release locks).
    virtual void on_close() {}

    // Every kind of object is waitable. Returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
    virtual DWORD wait(DWORD ms) = 0;

    const Kind kind;
    std::atomic<int> refs{1};
};

// Inserts the object (taking over its initial reference) and returns its handle,
// or NULL with ERROR_TOO_MANY_OPEN_FILES when the table is full.
HANDLE handle_insert(Object *obj);

// The handle of a new unnamed object (NULL with the object deleted when it could not
// be allocated, or when it has a name: named kernel objects are shared between
// processes, which this layer does not offer); success clears the last error.
HANDLE handle_insert_unnamed(LPCSTR name, Object *obj);

// Looks up a handle and returns the object with one more reference, or nullptr
// with ERROR_INVALID_HANDLE when the handle is not open or not of the kind.
Object *handle_ref(HANDLE h, Kind kind);
Object *handle_ref_any(HANDLE h);
void object_unref(Object *obj);

// Removes the handle from the table, runs on_close and drops the table's reference.
BOOL handle_close(HANDLE h);

// RAII reference for the duration of one call.
template <class T>
class Ref {
  public:
    explicit Ref(Object *o) : obj_(static_cast<T *>(o)) {}
    ~Ref() {
        if (obj_) object_unref(obj_);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    T *operator->() const { return obj_; }
    T *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    T *obj_;
};

// Sets the thread's last error; returns its second argument for brevity.
template <class R>
inline R fail(DWORD err, R result) {
    SetLastError(err);
    return result;
}

// Starts a detached thread, with a stack of at least stack bytes unless 0; 0 or errno.
int start_detached(void *(*fn)(void *), void *arg, size_t stack);

// Maps an errno value to the Win32 error a Windows file system would give.
DWORD errno_to_win32(int err);

}  // namespace plat
