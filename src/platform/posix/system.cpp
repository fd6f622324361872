// Identity (computer name, process id), virtual memory and the ANSI code page.
#include "handles.h"

#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

namespace plat {

namespace {

// ---- Computer name -------------------------------------------------------

struct ComputerName {
    std::string host;    // DNS host name, case as configured
    std::string domain;  // primary DNS suffix, empty when there is none
    DWORD error = 0;     // set when the name could not be read
};

// Read once: the domain lookup may wait for DNS.
const ComputerName &computer_name() {
    static const ComputerName name = [] {
        ComputerName n;
        char buf[256 + 1];
        if (gethostname(buf, sizeof buf - 1) != 0) {
            n.error = errno_to_win32(errno);
            return n;
        }
        buf[sizeof buf - 1] = '\0';
        std::string full = buf;
        if (full.find('.') == std::string::npos) {
            // No suffix in the host name: take it from the resolver's canonical
            // name when that one is qualified (never from "localhost...").
            struct addrinfo hints;
            memset(&hints, 0, sizeof hints);
            hints.ai_flags = AI_CANONNAME;
            hints.ai_socktype = SOCK_STREAM;
            struct addrinfo *res = nullptr;
            if (getaddrinfo(buf, nullptr, &hints, &res) == 0 && res != nullptr) {
                const char *canon = res->ai_canonname;
                if (canon != nullptr && strchr(canon, '.') != nullptr && strncmp(canon, "localhost", 9) != 0) {
                    const char *dot = strchr(canon, '.');
                    if (strncasecmp(canon, buf, (size_t)(dot - canon)) == 0 && strlen(buf) == (size_t)(dot - canon))
                        full = std::string(buf) + dot;
                }
                freeaddrinfo(res);
            }
        }
        size_t dot = full.find('.');
        n.host = full.substr(0, dot);
        if (dot != std::string::npos) n.domain = full.substr(dot + 1);
        while (!n.domain.empty() && n.domain.back() == '.') n.domain.pop_back();
        return n;
    }();
    return name;
}

// ---- Virtual memory ------------------------------------------------------

constexpr DWORD kMemDecommit = 0x4000;  // MEM_DECOMMIT
constexpr DWORD kPageNoAccess = 0x01;
constexpr DWORD kPageReadOnly = 0x02;

std::mutex g_vm_mu;
std::map<uintptr_t, size_t> g_regions;  // base -> size of every reserved region

size_t page_size() { return (size_t)sysconf(_SC_PAGESIZE); }

int prot_of(DWORD protect) {
    switch (protect) {
    case PAGE_READWRITE: return PROT_READ | PROT_WRITE;
    case kPageReadOnly: return PROT_READ;
    case kPageNoAccess: return PROT_NONE;
    default: return -1;
    }
}

// The region that holds [addr, addr+size), or g_regions.end().
std::map<uintptr_t, size_t>::iterator region_of(uintptr_t addr, size_t size) {
    auto it = g_regions.upper_bound(addr);
    if (it == g_regions.begin()) return g_regions.end();
    --it;
    if (addr < it->first || addr + size > it->first + it->second || addr + size < addr) return g_regions.end();
    return it;
}

// ---- ANSI code page ------------------------------------------------------

// Windows follows its system code page; here the locale's character set plays
// that part, read once from the environment as the C library would (LC_ALL,
// then LC_CTYPE, then LANG) without needing that locale to be installed.
unsigned int decide_acp() {
    const char *name = nullptr;
    for (const char *var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char *v = getenv(var);
        if (v != nullptr && v[0] != '\0') {
            name = v;
            break;
        }
    }
    if (name == nullptr) return 1252;
    const char *dot = strchr(name, '.');
    if (dot == nullptr) return 1252;
    std::string cs;
    for (const char *p = dot + 1; *p != '\0' && *p != '@'; ++p)
        if (isalnum((unsigned char)*p)) cs += (char)tolower((unsigned char)*p);
    if (cs == "sjis" || cs == "shiftjis" || cs == "cp932" || cs == "windows31j" || cs == "mskanji" ||
        cs == "ibm943" || cs == "pck")
        return 932;
    if (cs == "utf8") return 65001;
    return 1252;
}

unsigned int acp() {
    static const unsigned int cp = decide_acp();
    return cp;
}

}  // namespace

}  // namespace plat

BOOL WINAPI GetComputerNameExA(COMPUTER_NAME_FORMAT NameType, LPSTR lpBuffer, LPDWORD nSize) {
    if (nSize == nullptr) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (lpBuffer == nullptr && *nSize != 0) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    const plat::ComputerName &n = plat::computer_name();
    if (n.error != 0) return plat::fail<BOOL>(n.error, FALSE);
    std::string value;
    switch (NameType) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
        // Upper case, at most MAX_COMPUTERNAME_LENGTH (15) characters.
        value = n.host.substr(0, 15);
        for (char &c : value) c = (char)toupper((unsigned char)c);
        break;
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname: value = n.host; break;
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain: value = n.domain; break;
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified:
        value = n.domain.empty() ? n.host : n.host + "." + n.domain;
        break;
    default: return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    if ((size_t)*nSize < value.size() + 1) {
        // Too small: the size needed, terminator included.
        *nSize = (DWORD)(value.size() + 1);
        return plat::fail<BOOL>(ERROR_MORE_DATA, FALSE);
    }
    memcpy(lpBuffer, value.c_str(), value.size() + 1);
    *nSize = (DWORD)value.size();
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)getpid(); }

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    const int prot = plat::prot_of(flProtect);
    if (dwSize == 0 || prot < 0) return plat::fail<LPVOID>(ERROR_INVALID_PARAMETER, nullptr);
    if ((flAllocationType & ~(DWORD)(MEM_COMMIT | MEM_RESERVE)) != 0 || flAllocationType == 0)
        return plat::fail<LPVOID>(ERROR_INVALID_PARAMETER, nullptr);
    const size_t page = plat::page_size();
    std::lock_guard<std::mutex> lock(plat::g_vm_mu);

    if (!(flAllocationType & MEM_RESERVE)) {
        // Commit pages of a region reserved before; committed pages read as zero
        // until written, and pages committed already keep their content.
        uintptr_t start = (uintptr_t)lpAddress / page * page;
        uintptr_t end = (uintptr_t)lpAddress + dwSize;
        if (lpAddress == nullptr || end < (uintptr_t)lpAddress) return plat::fail<LPVOID>(ERROR_INVALID_ADDRESS, nullptr);
        end = (end + page - 1) / page * page;
        if (plat::region_of(start, end - start) == plat::g_regions.end())
            return plat::fail<LPVOID>(ERROR_INVALID_ADDRESS, nullptr);
        if (mprotect((void *)start, end - start, prot) != 0)
            return plat::fail<LPVOID>(plat::errno_to_win32(errno), nullptr);
        return (LPVOID)start;
    }

    // Windows aligns reservations to its 64 KiB allocation granularity.
    const size_t granularity = 65536;
    uintptr_t want = (uintptr_t)lpAddress / granularity * granularity;
    size_t size = ((uintptr_t)lpAddress + dwSize - want + page - 1) / page * page;
    if (size < dwSize) return plat::fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    if (want != 0) flags |= MAP_FIXED_NOREPLACE;
    void *p = mmap((void *)want, size, (flAllocationType & MEM_COMMIT) ? prot : PROT_NONE, flags, -1, 0);
    if (p == MAP_FAILED) {
        int e = errno;
        return plat::fail<LPVOID>(e == EEXIST ? ERROR_INVALID_ADDRESS : ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    if (want != 0 && (uintptr_t)p != want) {  // kernels without MAP_FIXED_NOREPLACE
        munmap(p, size);
        return plat::fail<LPVOID>(ERROR_INVALID_ADDRESS, nullptr);
    }
    try {
        plat::g_regions[(uintptr_t)p] = size;
    } catch (const std::bad_alloc &) {
        munmap(p, size);
        return plat::fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    return p;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    const size_t page = plat::page_size();
    std::lock_guard<std::mutex> lock(plat::g_vm_mu);
    if (dwFreeType == MEM_RELEASE) {
        // The whole region goes, named by its base address and a size of 0.
        if (dwSize != 0) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
        auto it = plat::g_regions.find((uintptr_t)lpAddress);
        if (it == plat::g_regions.end()) return plat::fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
        munmap((void *)it->first, it->second);
        plat::g_regions.erase(it);
        return TRUE;
    }
    if (dwFreeType == plat::kMemDecommit) {
        uintptr_t start = (uintptr_t)lpAddress / page * page;
        auto it = plat::region_of(start, 1);
        if (it == plat::g_regions.end()) return plat::fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
        // Size 0 decommits from the address to the end of the region.
        uintptr_t end = dwSize == 0 ? it->first + it->second
                                    : ((uintptr_t)lpAddress + dwSize + page - 1) / page * page;
        if (end > it->first + it->second || end <= start) return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
        // Fresh anonymous pages: the next commit reads zeros again.
        if (mmap((void *)start, end - start, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
                 0) == MAP_FAILED)
            return plat::fail<BOOL>(plat::errno_to_win32(errno), FALSE);
        return TRUE;
    }
    return plat::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
}

unsigned int WINAPI GetACP(void) { return plat::acp(); }

BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) {
    if (plat::acp() != 932) return FALSE;  // single-byte code pages and UTF-8 have no lead bytes
    return (TestChar >= 0x81 && TestChar <= 0x9F) || (TestChar >= 0xE0 && TestChar <= 0xFC);
}
