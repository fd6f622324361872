#include "fuzz_common.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string work_folder;
int captured = -1;   // the stream's descriptor while it is captured
int saved_stream = -1;
int scratch = -1;

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void leave_work_folder(void) {
    if (work_folder.empty()) return;
    if (chdir("/") != 0) return;
    remove_tree(work_folder);
}

}  // namespace

std::string fuzz_enter_work_folder(const char *prefix) {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::string buf = templ;
    if (mkdtemp(&buf[0]) == nullptr || chdir(buf.c_str()) != 0) {
        perror("fuzz work folder");
        abort();
    }
    work_folder = buf;
    atexit(leave_work_folder);
    return work_folder;
}

void fuzz_fail(const char *what, const std::string &detail) {
    if (captured >= 0) dup2(saved_stream, captured);
    fprintf(stderr, "\nFUZZ PROPERTY BROKEN: %s\n%s\n", what, detail.c_str());
    abort();
}

void fuzz_capture_begin(int fd) {
    fflush(fd == 1 ? stdout : stderr);
    if (scratch < 0) {
        char name[] = "stderr-XXXXXX";
        scratch = mkstemp(name);
        if (scratch < 0) abort();
        unlink(name);
    }
    if (ftruncate(scratch, 0) != 0 || lseek(scratch, 0, SEEK_SET) != 0) abort();
    saved_stream = dup(fd);
    if (saved_stream < 0 || dup2(scratch, fd) < 0) abort();
    captured = fd;
}

std::string fuzz_capture_end(void) {
    fflush(captured == 1 ? stdout : stderr);
    dup2(saved_stream, captured);
    close(saved_stream);
    saved_stream = -1;
    captured = -1;
    std::string out;
    off_t size = lseek(scratch, 0, SEEK_END);
    if (size > 0) {
        out.resize((size_t)size);
        if (pread(scratch, &out[0], out.size(), 0) != (ssize_t)out.size()) abort();
    }
    return out;
}
