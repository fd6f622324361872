// Where the SMB client's credentials come from: there is no logon session to borrow on
// Linux, so the environment or a private file names them.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../win32.h"
#include "auth.h"

namespace smb {

namespace {

constexpr size_t kMaxFile = 64 * 1024;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimmed(const char *b, const char *e) {
    while (b < e && is_blank(*b)) b++;
    while (e > b && is_blank(e[-1])) e--;
    return std::string(b, e);
}

// "DOMAIN\user" or "user".
void split_user(const std::string &text, Credentials *out) {
    size_t slash = text.find('\\');
    if (slash == std::string::npos) {
        out->user = text;
    } else {
        out->domain = text.substr(0, slash);
        out->user = text.substr(slash + 1);
    }
}

void wipe(std::string *s) {
    if (!s->empty()) explicit_bzero(&(*s)[0], s->size());
    s->clear();
}

int load_file(const char *path, Credentials *out, std::string *problem) {
    std::string where = std::string("KAVPROBE_SMB_AUTHFILE: ") + path;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        *problem = where + ": " + strerror(e);
        return e == ENOENT || e == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    // Checked on the open file, so the name cannot be swapped between the check and the read.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *problem = where + " is not a regular file";
        return ERROR_ACCESS_DENIED;
    }
    if (st.st_mode & 077) {
        ::close(fd);
        *problem = where + " may be read by others (chmod 600 it)";
        return ERROR_ACCESS_DENIED;
    }
    std::string text(kMaxFile, '\0');
    size_t have = 0;
    while (have < text.size()) {
        ssize_t n = read(fd, &text[have], text.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            wipe(&text);
            *problem = where + ": " + strerror(e);
            return ERROR_ACCESS_DENIED;
        }
        if (n == 0) break;
        have += (size_t)n;
    }
    ::close(fd);
    if (have == text.size()) {
        wipe(&text);
        *problem = where + " is larger than 64 KiB";
        return ERROR_INVALID_PARAMETER;
    }

    std::string user_line;
    bool domain_given = false;
    std::string domain_line;
    const char *p = text.data(), *end = text.data() + have;
    while (p < end) {
        const char *eol = (const char *)memchr(p, '\n', (size_t)(end - p));
        if (eol == nullptr) eol = end;
        const char *eq = (const char *)memchr(p, '=', (size_t)(eol - p));
        std::string key = trimmed(p, eq ? eq : eol);
        if (eq != nullptr && !key.empty() && key[0] != '#' && key[0] != ';') {
            if (key == "username") {
                user_line = trimmed(eq + 1, eol);
            } else if (key == "domain") {
                domain_line = trimmed(eq + 1, eol);
                domain_given = true;
            } else if (key == "password") {
                // Only the blanks next to '=' and the line end go: a password may end in a space.
                const char *b = eq + 1, *e = eol;
                while (b < e && (*b == ' ' || *b == '\t')) b++;
                while (e > b && e[-1] == '\r') e--;
                wipe(&out->password);
                out->password.assign(b, e);
            }
        }
        p = eol + 1;
    }
    wipe(&text);
    if (user_line.empty()) {
        wipe(&out->password);
        *problem = where + " names no username";
        return ERROR_INVALID_PARAMETER;
    }
    split_user(user_line, out);
    // A domain in "DOMAIN\user" wins over the domain line.
    if (domain_given && out->domain.empty()) out->domain = domain_line;
    out->guest = false;
    return 0;
}

}  // namespace

int credentials_load(Credentials *out, std::string *problem) {
    credentials_wipe(out);
    problem->clear();
    const char *user = getenv("KAVPROBE_SMB_USER");
    if (user != nullptr && *user != '\0') {
        split_user(user, out);
        // No KAVPROBE_SMB_PASSWORD: an account with an empty password.
        const char *pw = getenv("KAVPROBE_SMB_PASSWORD");
        if (pw != nullptr) out->password = pw;
        out->guest = false;
        return 0;
    }
    const char *file = getenv("KAVPROBE_SMB_AUTHFILE");
    if (file != nullptr && *file != '\0') {
        int rc = load_file(file, out, problem);
        if (rc != 0) credentials_wipe(out);
        return rc;
    }
    return 0;  // guest
}

void credentials_wipe(Credentials *c) {
    wipe(&c->password);
    c->user.clear();
    c->domain.clear();
    c->guest = true;
}

}  // namespace smb
