// One party of a rendezvous, as a process of its own, for the end-to-end tests:
//
//   sync_party KIND FOLDER TIMEOUT POINTS [--hold DIR] [--linger DIR] [--second FOLDER2]
//
// Opens a session of KIND in FOLDER, passes POINTS sync points and closes. The
// report goes to standard output, with "role=N" after the opening.
//   --hold DIR    after point i writes DIR/reached.<role>.<i> and waits for DIR/go.<i>
//   --linger DIR  after the points writes DIR/lingering.<role> and stays, without closing,
//                 until it is killed
//   --second F2   a second thread opens a session of the same kind in F2 at the same time
// After the points it prints "points_ms=N", the wall time the points took.
// Exit status: 0 done, 2 open failed, 3 a point failed, 4 close failed, 5 bad arguments,
// 6 a --hold wait ran out.
#include "base/cleanup_lock.h"
#include "base/report.h"
#include "sync/sync.h"

#include <chrono>

namespace {

enum { EXIT_OPEN = 2, EXIT_POINT = 3, EXIT_CLOSE = 4, EXIT_USAGE = 5, EXIT_HOLD = 6 };

struct SecondOpener {
    int kind;
    const char *folder;
    int32_t timeout;
};

DWORD WINAPI second_open(LPVOID arg) {
    const SecondOpener *opener = static_cast<const SecondOpener *>(arg);
    SyncSession *session = sync_open(opener->kind, opener->folder, opener->timeout);
    if (session == nullptr) return EXIT_OPEN;
    return sync_close(session) == 0 ? 0 : EXIT_CLOSE;
}

void touch(const char *dir, const char *name) {
    char path[600];
    snprintf(path, sizeof path, "%s\\%s", dir, name);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// Waits up to a minute for dir\name.
bool await_file(const char *dir, const char *name) {
    char path[600];
    snprintf(path, sizeof path, "%s\\%s", dir, name);
    for (int i = 0; i < 1200; ++i) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(50);
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    platform_binary_stdio();
    if (argc < 5) {
        fprintf(stderr, "usage: sync_party KIND FOLDER TIMEOUT POINTS [--hold DIR] [--linger DIR] [--second F2]\n");
        return EXIT_USAGE;
    }
    const int kind = atoi(argv[1]);
    const char *folder = argv[2];
    const int32_t timeout = atoi(argv[3]);
    const int points = atoi(argv[4]);
    const char *hold = nullptr;
    const char *linger = nullptr;
    const char *second = nullptr;
    for (int i = 5; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--hold") == 0) hold = argv[i + 1];
        else if (strcmp(argv[i], "--linger") == 0) linger = argv[i + 1];
        else if (strcmp(argv[i], "--second") == 0) second = argv[i + 1];
        else return EXIT_USAGE;
    }
    sync_install();  // as the entry does
    create_cleanup_lock();
    open_report_log("");

    // The second opener's handle is given back on every way out; a normal end waits for it first.
    struct ThreadHandle {
        HANDLE h = NULL;
        ~ThreadHandle() {
            if (h != NULL) CloseHandle(h);
        }
    } second_thread;
    SecondOpener opener = {kind, second, timeout};
    if (second != nullptr) second_thread.h = CreateThread(NULL, 0, second_open, &opener, 0, NULL);

    SyncSession *session = sync_open(kind, folder, timeout);
    if (session == nullptr) return EXIT_OPEN;
    printf("role=%u\n", (unsigned)session->role);
    fflush(stdout);
    char name[64];
    const auto points_start = std::chrono::steady_clock::now();
    for (int i = 1; i <= points; ++i) {
        if (sync_point(session) != 0) {
            sync_close(session);
            return EXIT_POINT;
        }
        if (hold != nullptr) {
            snprintf(name, sizeof name, "reached.%u.%d", (unsigned)session->role, i);
            touch(hold, name);
            snprintf(name, sizeof name, "go.%d", i);
            if (!await_file(hold, name)) return EXIT_HOLD;
        }
    }
    const auto points_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - points_start);
    printf("points_ms=%lld\n", (long long)points_ms.count());
    fflush(stdout);
    if (linger != nullptr) {
        snprintf(name, sizeof name, "lingering.%u", (unsigned)session->role);
        touch(linger, name);
        for (;;) Sleep(1000);
    }
    if (sync_close(session) != 0) return EXIT_CLOSE;
    if (second_thread.h != NULL) WaitForSingleObject(second_thread.h, INFINITE);
    return 0;
}
