#include "unc.h"

#include <errno.h>
#include <iconv.h>

#include <vector>

#include "win32_smb.h"

namespace smb {

namespace {

bool is_sep(char16_t c) { return c == u'\\' || c == u'/'; }

const char *charset_of(unsigned cp) {
    switch (cp) {
    case 932: return "CP932";
    case 65001: return "UTF-8";
    default: return "CP1252";
    }
}

// Converts a whole string between two character sets; false when a byte sequence has
// no character.
bool convert(const char *from, const char *to, const std::string &in, std::string *out) {
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return false;
    std::vector<char> buf(in.size() * 4 + 16);
    char *src = const_cast<char *>(in.data());
    size_t left = in.size();
    char *dst = buf.data();
    size_t room = buf.size();
    size_t rc = iconv(cd, &src, &left, &dst, &room);
    iconv_close(cd);
    if (rc == (size_t)-1 || left != 0) return false;
    out->assign(buf.data(), (size_t)(dst - buf.data()));
    return true;
}

std::string utf8_of(const std::u16string &s) {
    std::string le;
    for (char16_t c : s) {
        le += (char)(c & 0xFF);
        le += (char)(c >> 8);
    }
    std::string out;
    return convert("UTF-16LE", "UTF-8", le, &out) ? out : std::string();
}

}  // namespace

bool is_unc(LPCSTR name) {
    return name != nullptr && (name[0] == '\\' || name[0] == '/') && (name[1] == '\\' || name[1] == '/');
}

DWORD unc_parse(const char *name, unsigned cp, UncName *out) {
    *out = UncName();
    // Converted first and split afterwards: a DBCS trail byte 0x5C is never a separator.
    std::string le;
    if (!convert(charset_of(cp), "UTF-16LE", name, &le)) return ERROR_INVALID_NAME;
    std::u16string wide;
    for (size_t i = 0; i + 1 < le.size(); i += 2)
        wide += (char16_t)((unsigned char)le[i] | ((unsigned char)le[i + 1] << 8));

    std::vector<std::u16string> parts;
    std::u16string cur;
    for (size_t i = 2; i <= wide.size(); ++i) {
        if (i == wide.size() || is_sep(wide[i])) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += wide[i];
        }
    }
    if (parts.empty() || parts[0].empty()) return ERROR_BAD_PATHNAME;
    if (parts.size() < 2 || parts[1].empty()) return ERROR_BAD_NETPATH;

    std::vector<std::u16string> path;
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i].empty() || parts[i] == u".") continue;
        if (parts[i] == u"..") {
            if (!path.empty()) path.pop_back();
            continue;
        }
        path.push_back(parts[i]);
    }
    for (size_t i = 0; i < path.size(); ++i) {
        if (i != 0) out->path += u'\\';
        out->path += path[i];
    }
    out->trailing = !path.empty() && parts.back().empty();
    out->host = utf8_of(parts[0]);
    out->share = utf8_of(parts[1]);
    return 0;
}

}  // namespace smb
