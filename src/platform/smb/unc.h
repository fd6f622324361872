// UNC names (\\host\share\path, either separator) as the SMB layer takes them apart.
#pragma once

#include <string>

#include "../win32.h"

namespace smb {

struct UncName {
    std::string host;     // UTF-8
    std::string share;    // UTF-8
    std::u16string path;  // inside the share: backslashes, no leading one; empty: the share's root
    bool trailing = false;  // the path ended in a separator
};

// Takes apart a UNC name given in code page cp (932, 65001 or 1252, as GetACP gives).
// The path is normalised as Windows makes a full path: repeated separators count as
// one, "." goes, ".." takes back the component before it but never leaves the share.
// 0, or the Win32 error: ERROR_BAD_PATHNAME without a host, ERROR_BAD_NETPATH without a
// share (the network has no such path), ERROR_INVALID_NAME for bytes the code page does
// not define (Windows would put its default character there and name another file).
DWORD unc_parse(const char *name, unsigned cp, UncName *out);

}  // namespace smb
