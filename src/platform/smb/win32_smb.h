// The Win32 file calls for UNC paths (\\server\share\path, either separator), served by
// the SMB client; the POSIX layer hands them every UNC name and every handle they made.
#pragma once

#include "../win32.h"

namespace smb {

// Whether the name is a UNC path this layer serves.
bool is_unc(LPCSTR name);
// Whether the handle is a file handle of this layer.
bool is_remote(HANDLE h);

HANDLE create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags);
BOOL delete_file(LPCSTR name);
DWORD get_file_attributes(LPCSTR name);

BOOL read_file(HANDLE h, LPVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov);
BOOL write_file(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov);
BOOL flush_file_buffers(HANDLE h);
DWORD set_file_pointer(HANDLE h, LONG dist, PLONG dist_high, DWORD method);
BOOL lock_file_ex(HANDLE h, DWORD flags, DWORD reserved, DWORD len_low, DWORD len_high, LPOVERLAPPED ov);
BOOL unlock_file_ex(HANDLE h, DWORD reserved, DWORD len_low, DWORD len_high, LPOVERLAPPED ov);
BOOL cancel_io_ex(HANDLE h, LPOVERLAPPED ov);

// The Win32 error of an NTSTATUS, by Windows' table.
DWORD status_to_win32(uint32_t status);

}  // namespace smb
