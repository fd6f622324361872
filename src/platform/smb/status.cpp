// NTSTATUS to Win32 error, as Windows' RtlNtStatusToDosError maps the statuses a file
// server or the client can give (and the ones the POSIX layer stores in OVERLAPPED).
#include "client.h"
#include "win32_smb.h"

namespace smb {

DWORD status_to_win32(uint32_t status) {
    switch (status) {
    case kSuccess: return ERROR_SUCCESS;
    case kPending: return ERROR_IO_PENDING;
    case 0x80000005: return ERROR_MORE_DATA;        // STATUS_BUFFER_OVERFLOW
    case 0xC0000001: return ERROR_GEN_FAILURE;      // STATUS_UNSUCCESSFUL
    case 0xC0000002: return ERROR_INVALID_FUNCTION; // STATUS_NOT_IMPLEMENTED
    case 0xC0000003: return ERROR_INVALID_PARAMETER;  // STATUS_INVALID_INFO_CLASS
    case 0xC0000008: return ERROR_INVALID_HANDLE;
    case kInvalidParameter: return ERROR_INVALID_PARAMETER;
    case 0xC000000E: return ERROR_FILE_NOT_FOUND;    // STATUS_NO_SUCH_DEVICE
    case 0xC000000F: return ERROR_FILE_NOT_FOUND;    // STATUS_NO_SUCH_FILE
    case 0xC0000010: return ERROR_INVALID_FUNCTION;  // STATUS_INVALID_DEVICE_REQUEST
    case 0xC0000011: return ERROR_HANDLE_EOF;        // STATUS_END_OF_FILE
    case kMoreProcessing: return ERROR_MORE_DATA;
    case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;  // STATUS_NO_MEMORY
    case kAccessDenied: return ERROR_ACCESS_DENIED;
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;  // STATUS_BUFFER_TOO_SMALL
    case 0xC0000033: return ERROR_INVALID_NAME;         // STATUS_OBJECT_NAME_INVALID
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;       // STATUS_OBJECT_NAME_NOT_FOUND
    case kObjectNameCollision: return ERROR_ALREADY_EXISTS;
    case 0xC0000039: return ERROR_BAD_PATHNAME;         // STATUS_OBJECT_PATH_INVALID
    case 0xC000003A: return ERROR_PATH_NOT_FOUND;       // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC000003B: return ERROR_BAD_PATHNAME;         // STATUS_OBJECT_PATH_SYNTAX_BAD
    case 0xC0000043: return ERROR_SHARING_VIOLATION;
    case 0xC0000054: return ERROR_LOCK_VIOLATION;  // STATUS_FILE_LOCK_CONFLICT
    case 0xC0000055: return ERROR_LOCK_VIOLATION;  // STATUS_LOCK_NOT_GRANTED
    case 0xC0000056: return ERROR_ACCESS_DENIED;   // STATUS_DELETE_PENDING
    case kLogonFailure: return ERROR_LOGON_FAILURE;
    case 0xC000007E: return ERROR_NOT_LOCKED;      // STATUS_RANGE_NOT_LOCKED
    case 0xC000007F: return ERROR_DISK_FULL;
    case kInsufficientResources: return ERROR_NO_SYSTEM_RESOURCES;
    case 0xC00000A2: return ERROR_WRITE_PROTECT;   // STATUS_MEDIA_WRITE_PROTECTED
    case kIoTimeout: return ERROR_SEM_TIMEOUT;
    case 0xC00000BA: return ERROR_ACCESS_DENIED;   // STATUS_FILE_IS_A_DIRECTORY
    case kNotSupported: return ERROR_NOT_SUPPORTED;
    case kBadNetworkPath: return ERROR_BAD_NETPATH;
    case kInvalidNetworkResponse: return ERROR_BAD_NET_RESP;
    case 0xC00000C4: return ERROR_UNEXP_NET_ERR;   // STATUS_UNEXPECTED_NETWORK_ERROR
    case 0xC00000C9: return ERROR_NETNAME_DELETED; // STATUS_NETWORK_NAME_DELETED
    case 0xC00000CA: return ERROR_NETWORK_ACCESS_DENIED;
    case kBadNetworkName: return ERROR_BAD_NET_NAME;
    case 0xC0000101: return ERROR_DIR_NOT_EMPTY;
    case 0xC0000103: return ERROR_DIRECTORY;       // STATUS_NOT_A_DIRECTORY
    case 0xC0000106: return ERROR_FILENAME_EXCED_RANGE;  // STATUS_NAME_TOO_LONG
    case 0xC000011F: return ERROR_TOO_MANY_OPEN_FILES;
    case kCancelled: return ERROR_OPERATION_ABORTED;
    case 0xC0000121: return ERROR_ACCESS_DENIED;   // STATUS_CANNOT_DELETE
    case 0xC0000128: return ERROR_INVALID_HANDLE;  // STATUS_FILE_CLOSED
    case 0xC0000203: return ERROR_UNEXP_NET_ERR;   // STATUS_USER_SESSION_DELETED
    case kConnectionDisconnected:
    case kConnectionReset: return ERROR_NETNAME_DELETED;
    case 0xC0000236: return ERROR_CONNECTION_REFUSED;
    case kNetworkUnreachable: return ERROR_NETWORK_UNREACHABLE;
    case kHostUnreachable: return ERROR_HOST_UNREACHABLE;
    default: return ERROR_MR_MID_NOT_FOUND;  // what Windows answers for a status it cannot map
    }
}

}  // namespace smb
