// FormatMessageA and LocalFree: the system's message texts for every error code
// the layer gives, formatted as Windows formats message-table text.
#include "handles.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <set>
#include <string>

namespace plat {

namespace {

struct Message {
    DWORD code;
    const char *text;  // as stored in a message table: every line ends in CR LF
};

// English (United States) system texts, sorted by code.
const Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_HANDLE_DISK_FULL, "The disk is full.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_BAD_NETPATH, "The network path was not found.\r\n"},
    {ERROR_BAD_NET_RESP, "The specified server cannot perform the requested operation.\r\n"},
    {ERROR_UNEXP_NET_ERR, "An unexpected network error occurred.\r\n"},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available.\r\n"},
    {ERROR_NETWORK_ACCESS_DENIED, "Network access is denied.\r\n"},
    {ERROR_BAD_NET_NAME, "The network name cannot be found.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\r\n"},
    {ERROR_NOT_LOCKED, "The segment is already unlocked.\r\n"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
    {ERROR_LOCK_FAILED, "Unable to lock a region of a file.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_DIRECTORY, "The directory name is invalid.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address.\r\n"},
    {ERROR_CONTROL_C_EXIT, "{Application Exit by CTRL+C}\r\nThe application terminated as a result of a CTRL+C.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection.\r\n"},
    {ERROR_NETWORK_UNREACHABLE,
     "The network location cannot be reached. For information about network troubleshooting, see Windows "
     "Help.\r\n"},
    {ERROR_HOST_UNREACHABLE,
     "The network location cannot be reached. For information about network troubleshooting, see Windows "
     "Help.\r\n"},
    {ERROR_LOGON_FAILURE, "The user name or password is incorrect.\r\n"},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "The specified resource language ID cannot be found in the image file.\r\n"},
    {ERROR_MUI_FILE_NOT_FOUND, "The resource loader failed to find MUI file.\r\n"},
};

const char *system_text(DWORD code) {
    const Message *end = std::end(kMessages);
    const Message *m =
        std::lower_bound(std::begin(kMessages), end, code, [](const Message &a, DWORD c) { return a.code < c; });
    return m != end && m->code == code ? m->text : nullptr;
}

// Languages whose texts the table holds: neutral, the user's and the system's
// default (English here) and English itself.
bool language_available(DWORD lang) {
    switch (lang) {
    case 0:       // LANG_NEUTRAL: the default chain
    case 0x0400:  // LANG_USER_DEFAULT
    case 0x0800:  // LANG_SYSTEM_DEFAULT
    case 0x0009:  // English, neutral sub-language
    case 0x0409:  // English (United States)
        return true;
    default: return false;
    }
}

// Longest text FormatMessage hands out.
constexpr size_t kMaxMessage = 128 * 1024;

std::mutex g_local_mu;
std::set<void *> g_local_blocks;  // buffers FormatMessageA allocated, until LocalFree

// Fetches insert number n (1-based) as a pointer-sized value.
ULONG_PTR insert_arg(int n, bool array, va_list *args) {
    if (array) return reinterpret_cast<const ULONG_PTR *>(args)[n - 1];
    va_list ap;
    va_copy(ap, *args);
    ULONG_PTR v = 0;
    for (int i = 0; i < n; ++i) v = va_arg(ap, ULONG_PTR);
    va_end(ap);
    return v;
}

// Expands one insert "%n" or "%n!fmt!" whose number is n; p points after the
// number. Returns false for a printf format this layer does not take.
bool expand_insert(int n, const char *&p, bool array, va_list *args, std::string &out) {
    std::string fmt = "%s";
    if (*p == '!') {
        const char *end = strchr(p + 1, '!');
        if (end == nullptr) return false;
        fmt = "%" + std::string(p + 1, (size_t)(end - p - 1));
        p = end + 1;
    }
    // Widths and precisions taken from further arguments are not offered.
    if (fmt.find('*') != std::string::npos || fmt.size() < 2) return false;
    char conv = fmt.back();
    ULONG_PTR v = insert_arg(n, array, args);
    char buf[512];
    int len;
    if (conv == 's') {
        const char *s = reinterpret_cast<const char *>(v);
        len = snprintf(buf, sizeof buf, fmt.c_str(), s ? s : "(null)");
        if (len >= (int)sizeof buf) {  // a long string: no bounded buffer needed for plain %s
            if (fmt == "%s") {
                out += s;
                return true;
            }
            return false;
        }
    } else if (strchr("diuxXoc", conv) != nullptr) {
        // Integer inserts are 32 bits unless the format says 64 ("ll" or "I64").
        bool wide = fmt.find("ll") != std::string::npos || fmt.find("I64") != std::string::npos;
        std::string f;
        for (size_t i = 0; i + 1 < fmt.size(); ++i) {
            char c = fmt[i];
            if (c == 'l' || c == 'h' || c == 'I') continue;
            if ((c == '6' || c == '3') && i > 0 && fmt[i - 1] == 'I') continue;
            if ((c == '4' || c == '2') && i > 1 && fmt[i - 2] == 'I') continue;
            f += c;
        }
        if (conv == 'c') {
            len = snprintf(buf, sizeof buf, (f + "c").c_str(), (int)(unsigned char)v);
        } else if (wide) {
            len = conv == 'd' || conv == 'i' ? snprintf(buf, sizeof buf, (f + "ll" + conv).c_str(), (long long)v)
                                             : snprintf(buf, sizeof buf, (f + "ll" + conv).c_str(), (unsigned long long)v);
        } else {
            len = conv == 'd' || conv == 'i' ? snprintf(buf, sizeof buf, (f + conv).c_str(), (int)(uint32_t)v)
                                             : snprintf(buf, sizeof buf, (f + conv).c_str(), (unsigned)(uint32_t)v);
        }
    } else {
        return false;
    }
    if (len < 0 || len >= (int)sizeof buf) return false;
    out.append(buf, (size_t)len);
    return true;
}

// Breaks formatted text into lines shorter than width characters, as Windows
// does for a width from 1 to 254: a full line breaks after its last space (the
// spaces before that one are dropped), or, when it holds none, right there.
// Hard breaks (%n, %r) start a new line.
std::string wrap(const std::string &in, size_t width) {
    std::string result, line;
    for (char c : in) {
        if (c == '\r' || c == '\n') {
            result += line;
            line.clear();
            result += c;
            continue;
        }
        line += c;
        if (line.size() < width) continue;
        size_t space = line.rfind(' ');
        if (space == std::string::npos) {
            result += line;
            line.clear();
        } else {
            size_t end = space;
            while (end > 0 && line[end - 1] == ' ') --end;
            result.append(line, 0, end);
            line.erase(0, space + 1);
        }
        result += "\r\n";
    }
    return result + line;
}

// Formats message-table text. Line breaks in the text become CR LF (width 0) or
// one space each (any width); %n, %r and %t are hard breaks and tabs; %0 ends
// the text; a width below 255 then wraps the lines. Returns an error code, or 0.
DWORD format_text(const char *text, DWORD flags, va_list *args, std::string &out) {
    // With any width the text's own line breaks are ignored (each becomes a space).
    const bool one_line = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
    const bool ignore = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    const bool array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
    const char *p = text;
    while (*p != '\0') {
        char c = *p++;
        if (c == '\r' || c == '\n') {
            if (c == '\r' && *p == '\n') ++p;
            out += one_line ? " " : "\r\n";
            continue;
        }
        if (c != '%') {
            out += c;
            continue;
        }
        char e = *p;
        if (e == '\0') {
            out += '%';
            break;
        }
        ++p;
        if (e == '0') break;
        if (e == 'n') {
            out += "\r\n";
        } else if (e == 'r') {
            out += '\r';
        } else if (e == 't') {
            out += '\t';
        } else if (e >= '1' && e <= '9') {
            if (ignore) {
                // The insert stays as it is; its number and format follow as plain text.
                out += '%';
                --p;
                continue;
            }
            if (args == nullptr) return ERROR_INVALID_PARAMETER;
            int n = e - '0';
            if (*p >= '0' && *p <= '9') n = n * 10 + (*p++ - '0');
            if (!expand_insert(n, p, array, args, out)) return ERROR_INVALID_PARAMETER;
        } else {
            // "%%", "% ", "%." and "%!" stand for the character itself, unless
            // inserts are ignored, when the whole sequence stays.
            if (ignore) out += '%';
            out += e;
        }
        if (out.size() > kMaxMessage) return ERROR_MORE_DATA;
    }
    const size_t width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) out = wrap(out, width);
    if (out.size() > kMaxMessage) return ERROR_MORE_DATA;
    return 0;
}

}  // namespace

}  // namespace plat

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list *Arguments) {
    if (lpBuffer == nullptr) return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);

    const char *text;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        if (dwFlags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE))
            return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
        if (lpSource == nullptr) return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
        text = static_cast<const char *>(lpSource);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
        // A module named with FROM_HMODULE holds no message table here; the
        // system's table is searched next, as Windows does.
        if (!plat::language_available(dwLanguageId)) return plat::fail<DWORD>(ERROR_MUI_FILE_NOT_FOUND, 0);
        text = plat::system_text(dwMessageId);
        if (text == nullptr) return plat::fail<DWORD>(ERROR_MR_MID_NOT_FOUND, 0);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE) {
        return plat::fail<DWORD>(ERROR_MR_MID_NOT_FOUND, 0);
    } else {
        return plat::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
    }

    std::string out;
    DWORD err;
    try {
        err = plat::format_text(text, dwFlags, Arguments, out);
    } catch (const std::bad_alloc &) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err != 0) return plat::fail<DWORD>(err, 0);

    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // lpBuffer receives the address of a buffer of at least nSize bytes.
        size_t size = out.size() + 1 > nSize ? out.size() + 1 : nSize;
        char *block = static_cast<char *>(calloc(1, size));
        if (block == nullptr) return plat::fail<DWORD>(ERROR_NOT_ENOUGH_MEMORY, 0);
        try {
            std::lock_guard<std::mutex> lock(plat::g_local_mu);
            plat::g_local_blocks.insert(block);
        } catch (const std::bad_alloc &) {
            free(block);
            return plat::fail<DWORD>(ERROR_NOT_ENOUGH_MEMORY, 0);
        }
        memcpy(block, out.c_str(), out.size() + 1);
        *reinterpret_cast<char **>(lpBuffer) = block;
    } else {
        if (out.size() + 1 > nSize) return plat::fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
        memcpy(lpBuffer, out.c_str(), out.size() + 1);
    }
    return (DWORD)out.size();
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    if (hMem == nullptr) return nullptr;
    {
        std::lock_guard<std::mutex> lock(plat::g_local_mu);
        auto it = plat::g_local_blocks.find(hMem);
        // Not a block of ours: report it instead of corrupting the heap.
        if (it == plat::g_local_blocks.end()) return plat::fail<HLOCAL>(ERROR_INVALID_HANDLE, hMem);
        plat::g_local_blocks.erase(it);
    }
    free(hMem);
    return nullptr;
}
