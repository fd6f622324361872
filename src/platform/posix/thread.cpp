// Threads and critical sections.
//
// Every thread runs detached: its handle is a table entry whose object the thread
// itself also references, so closing the handle while the thread runs frees
// nothing the thread still uses, and the object goes when both are done.
#include "event.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace plat {

namespace {

struct Thread : Object {
    Thread(LPTHREAD_START_ROUTINE fn, LPVOID arg)
        : Object(Kind::Thread), start(fn), param(arg), started(true, false), ended(true, false) {}

    DWORD wait(DWORD ms) override { return ended.wait(ms); }

    const LPTHREAD_START_ROUTINE start;
    const LPVOID param;
    DWORD tid = 0;  // set by the thread as it starts; CreateThread waits for it
    std::atomic<DWORD> exit_code{STILL_ACTIVE};
    Signal started;  // set once tid holds the thread's id
    Signal ended;    // set once exit_code holds the thread's result
};

void *thread_main(void *arg) {
    Thread *t = static_cast<Thread *>(arg);
    t->tid = GetCurrentThreadId();
    t->started.set();
    t->exit_code = t->start(t->param);
    t->ended.set();
    object_unref(t);
    return nullptr;
}

}  // namespace

}  // namespace plat

using plat::Kind;
using plat::Ref;
using plat::Thread;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
    (void)lpThreadAttributes;  // no child processes inherit handles from this layer
    if (lpStartAddress == nullptr) return plat::fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    // A suspended thread could never be resumed: ResumeThread is not part of the layer.
    if (dwCreationFlags & CREATE_SUSPENDED) return plat::fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);

    Thread *t = new (std::nothrow) Thread(lpStartAddress, lpParameter);
    if (t == nullptr) return plat::fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    t->refs.fetch_add(1);  // the thread's own reference, dropped when it ends
    HANDLE h = plat::handle_insert(t);
    if (h == nullptr) return nullptr;  // the table deleted the object

    int rc = plat::start_detached(plat::thread_main, t, dwStackSize);
    if (rc != 0) {
        plat::object_unref(t);  // the reference the thread would have dropped
        CloseHandle(h);
        return plat::fail<HANDLE>(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : plat::errno_to_win32(rc), nullptr);
    }
    t->started.wait(INFINITE);
    if (lpThreadId != nullptr) *lpThreadId = t->tid;
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    Ref<Thread> t(plat::handle_ref(hThread, Kind::Thread));
    if (!t) return FALSE;
    if (lpExitCode == nullptr) return plat::fail<BOOL>(ERROR_NOACCESS, FALSE);
    *lpExitCode = t->exit_code;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
    thread_local DWORD id = (DWORD)syscall(SYS_gettid);
    return id;
}

// A critical section is a recursive mutex: its owner may enter it again and must
// leave it as often as it entered.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    pthread_mutex_lock(&lpCriticalSection->mutex);
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    pthread_mutex_unlock(&lpCriticalSection->mutex);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    pthread_mutex_destroy(&lpCriticalSection->mutex);
}
