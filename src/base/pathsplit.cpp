// Path splitting that knows the double-byte characters of the ANSI code page.
#include "base/pathsplit.h"

#include "platform/win32.h"

namespace {

// Copies [begin, end) into a buffer of size bytes; false when it does not fit.
bool copy_part(const char *begin, const char *end, char *out, size_t size) {
    size_t n = (size_t)(end - begin);
    if (n >= size) return false;
    memcpy(out, begin, n);
    out[n] = '\0';
    return true;
}

}  // namespace

int split_path(const char *path, SplitPath *out) {
    memset(out, 0, sizeof *out);
    if (path == nullptr) return -1;
    const char *p = path;
    const char *drive_end = p;
    if (p[0] != '\0' && p[1] == ':') drive_end = p + 2;

    // Start of the last component and its last dot; a byte after a lead byte is
    // neither, and a lead byte just before the terminator stands alone.
    const char *name = drive_end;
    const char *dot = nullptr;
    for (const char *s = drive_end; *s != '\0'; ++s) {
        if (IsDBCSLeadByte((BYTE)*s)) {
            if (s[1] != '\0') ++s;
            continue;
        }
        if (*s == '\\' || *s == '/') {
            name = s + 1;
            dot = nullptr;
        } else if (*s == '.') {
            dot = s;
        }
    }
    const char *end = name + strlen(name);
    const char *name_end = dot != nullptr ? dot : end;
    if (!copy_part(p, drive_end, out->drive, sizeof out->drive) ||
        !copy_part(drive_end, name, out->dir, sizeof out->dir) ||
        !copy_part(name, name_end, out->fname, sizeof out->fname) ||
        !copy_part(name_end, end, out->ext, sizeof out->ext)) {
        memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}
