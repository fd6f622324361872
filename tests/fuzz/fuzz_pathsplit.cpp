// Fuzz target: split_path under code page 932. The input (up to its first NUL)
// is the path, in an exactly sized block. Properties: the parts put together give
// the path back; the folder part ends at a separator that is not a trail byte;
// neither the base name nor the extension holds a separator; the extension starts
// at the last dot of the last component; a path that fits the buffers splits.
#include "base/pathsplit.h"
#include "fuzz_common.h"
#include "platform/win32.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace {

bool lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::string hex(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Offsets at which a character of the code page starts (a lead byte just before
// the end stands alone).
std::vector<bool> char_starts(const std::string &s) {
    std::vector<bool> starts(s.size() + 1, false);
    for (size_t i = 0; i < s.size(); ++i) {
        starts[i] = true;
        if (lead_byte((unsigned char)s[i]) && i + 1 < s.size()) ++i;
    }
    starts[s.size()] = true;
    return starts;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("LC_ALL", "ja_JP.SJIS", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (GetACP() != 932) fuzz_fail("code page", "not 932");
    std::string path((const char *)data, strnlen((const char *)data, size));
    std::unique_ptr<char[]> block(new char[path.size() + 1]);
    memcpy(block.get(), path.c_str(), path.size() + 1);

    SplitPath parts;
    memset(&parts, 0xA5, sizeof parts);  // no stale terminator helps a faulty split
    int r = split_path(block.get(), &parts);
    const std::string ctx = "path " + hex(path);
    if (r != 0 && r != -1) fuzz_fail("result", ctx);
    if (r == -1) {
        if (parts.drive[0] || parts.dir[0] || parts.fname[0] || parts.ext[0])
            fuzz_fail("failed split left parts", ctx);
        // Only a part longer than its buffer may fail; a path of at most 255 bytes fits every part.
        if (path.size() < SPLIT_DIR_MAX) fuzz_fail("short path refused", ctx);
        return 0;
    }
    for (const char *part : {parts.drive, parts.dir, parts.fname, parts.ext})
        if (part != parts.drive && strnlen(part, SPLIT_DIR_MAX) == SPLIT_DIR_MAX) fuzz_fail("part without terminator", ctx);
    if (strnlen(parts.drive, SPLIT_DRIVE_MAX) == SPLIT_DRIVE_MAX) fuzz_fail("drive without terminator", ctx);

    std::string drive = parts.drive, dir = parts.dir, fname = parts.fname, ext = parts.ext;
    if (drive + dir + fname + ext != path) fuzz_fail("parts do not give the path back", ctx);
    if (!drive.empty() && (drive.size() != 2 || drive[1] != ':')) fuzz_fail("drive", ctx);
    if (drive.empty() && path.size() >= 2 && path[1] == ':') fuzz_fail("drive missed", ctx);

    std::vector<bool> starts = char_starts(path);
    auto is_sep = [&](size_t i) { return starts[i] && (path[i] == '\\' || path[i] == '/'); };
    auto is_dot = [&](size_t i) { return starts[i] && path[i] == '.'; };
    const size_t dir_begin = drive.size(), name_begin = dir_begin + dir.size();
    const size_t ext_begin = name_begin + fname.size();
    if (!starts[dir_begin] || !starts[name_begin] || !starts[ext_begin]) fuzz_fail("part cut inside a character", ctx);
    if (!dir.empty() && !is_sep(name_begin - 1)) fuzz_fail("folder part does not end at a separator", ctx);
    for (size_t i = name_begin; i < path.size(); ++i)
        if (is_sep(i)) fuzz_fail("separator after the folder part", ctx);
    if (!ext.empty() && !is_dot(ext_begin)) fuzz_fail("extension does not start at a dot", ctx);
    for (size_t i = ext_begin + 1; i < path.size(); ++i)
        if (is_dot(i)) fuzz_fail("dot after the extension's start", ctx);
    if (ext.empty())
        for (size_t i = name_begin; i < path.size(); ++i)
            if (is_dot(i)) fuzz_fail("dot left in the base name", ctx);
    return 0;
}
