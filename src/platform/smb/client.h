// The SMB 2/3 client under the Win32 layer's UNC paths: one connection and session per
// server per process, shared by its threads; requests are multiplexed by message id and
// their final responses dispatched by one reader thread per connection.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace smb {

// NTSTATUS values the client produces or acts on.
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kPending = 0x00000103;
constexpr uint32_t kMoreProcessing = 0xC0000016;
constexpr uint32_t kInvalidParameter = 0xC000000D;
constexpr uint32_t kAccessDenied = 0xC0000022;
constexpr uint32_t kObjectNameCollision = 0xC0000035;
constexpr uint32_t kLogonFailure = 0xC000006D;
constexpr uint32_t kInsufficientResources = 0xC000009A;
constexpr uint32_t kIoTimeout = 0xC00000B5;
constexpr uint32_t kNotSupported = 0xC00000BB;
constexpr uint32_t kBadNetworkName = 0xC00000CC;
constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kConnectionDisconnected = 0xC000020C;
constexpr uint32_t kConnectionReset = 0xC000020D;
constexpr uint32_t kBadNetworkPath = 0xC00000BE;       // unknown host, nothing listens: 53
constexpr uint32_t kNetworkUnreachable = 0xC000023C;   // 1231
constexpr uint32_t kHostUnreachable = 0xC000023D;      // 1232
constexpr uint32_t kInvalidNetworkResponse = 0xC00000C3;  // a response that breaks the protocol: 59

// Commands.
enum Command : uint16_t {
    kNegotiate = 0, kSessionSetup = 1, kLogoff = 2, kTreeConnect = 3, kTreeDisconnect = 4,
    kCreate = 5, kClose = 6, kFlush = 7, kRead = 8, kWrite = 9, kLock = 10, kIoctl = 11,
    kCancel = 12, kEcho = 13, kQueryDirectory = 14, kChangeNotify = 15, kQueryInfo = 16,
    kSetInfo = 17, kOplockBreak = 18,
};

// LOCK element flags.
constexpr uint32_t kLockShared = 0x1;
constexpr uint32_t kLockExclusive = 0x2;
constexpr uint32_t kLockUnlock = 0x4;
constexpr uint32_t kLockFailImmediately = 0x10;

struct FileId {
    uint64_t persistent = 0;
    uint64_t volatile_id = 0;
};

struct Conn;
struct Call;

// A share of a server, connected through the process's connection to that server.
// Trees are kept for the life of the process (or of their connection), never freed
// while a handle may use them.
struct Tree {
    Conn *conn = nullptr;
    uint32_t tree_id = 0;
    bool encrypt = false;  // the share wants every request encrypted
    std::string share;     // as named in the path, for look-up
};

// Connects to \\host\share (host: a name or an IPv4/IPv6 literal; the port is
// KAVPROBE_SMB_PORT or 445), reusing the process's connection to host and its tree of
// share when they are alive. kSuccess and *out, or the NTSTATUS (client-side ones above
// for network failures; kLogonFailure for credentials that the client refused to use).
uint32_t tree_get(const std::string &host, const std::string &share, Tree **out);

// What a request's final response said: its status and its body (after the 64-byte
// header). Client-side statuses (kConnectionDisconnected, kIoTimeout, ...) when it had
// none. When the status is an error, body holds the error response.
struct Reply {
    uint32_t status = kSuccess;
    std::vector<uint8_t> body;
};

// Runs once when a call ends: on the connection's reader thread, or on the thread that
// started the call when it could not be sent (then before the start function returns).
// It must not wait for anything on the connection.
using OnDone = void (*)(void *arg, const Reply &reply);

// Sends one request with the given body on the tree (tree == nullptr: the connection's
// own requests). cb may be nullptr for a call that is only waited for. Returns the
// call with one reference for the caller (never nullptr).
Call *call_start(Conn *conn, Tree *tree, Command cmd, std::vector<uint8_t> body, uint32_t credit_charge,
                 OnDone cb, void *arg);
// Waits for the call's end, bounded by the connection's own expiry rules (a server that
// stops answering ends the connection, and every call on it, with kIoTimeout), then
// copies its reply.
void call_wait(Call *call, Reply *out);
// Whether the call has ended; never blocks.
bool call_done(Call *call);
// Asks the server to cancel the call (CANCEL, async form once an interim response gave
// an async id). The call still ends through its final response: granted anyway,
// cancelled, or the connection's end. No effect once it has ended.
void call_cancel(Call *call);
void call_release(Call *call);

// Convenience: start, wait, release.
void call_sync(Conn *conn, Tree *tree, Command cmd, std::vector<uint8_t> body, uint32_t credit_charge, Reply *out);

// Largest READ/WRITE the connection's server accepts in one request.
uint32_t conn_max_io(Conn *conn, bool write);
// CreditCharge of an I/O of len bytes on this connection (0 on dialect 2.0.2).
uint32_t conn_charge(Conn *conn, uint32_t len);

// ---- Commands (one file each); statuses are NTSTATUS. ----

struct CreateArgs {
    std::u16string name;  // inside the share, backslashes, no leading one; empty: the share's root
    uint32_t access = 0;
    uint32_t share = 0;
    uint32_t disposition = 0;  // FILE_OPEN (1) etc.
    uint32_t options = 0;
    uint32_t attributes = 0;
};
struct CreateResult {
    FileId fid;
    uint32_t action = 0;  // 1 opened, 2 created, 3 overwritten
    uint32_t attributes = 0;
    uint64_t end_of_file = 0;
};
uint32_t create(Tree *tree, const CreateArgs &args, CreateResult *out);
uint32_t close(Tree *tree, const FileId &fid);
uint32_t flush(Tree *tree, const FileId &fid);
// SET_INFO FileDispositionInformation, DeletePending = 1.
uint32_t set_delete_pending(Tree *tree, const FileId &fid);
// QUERY_INFO FileStandardInformation's EndOfFile.
uint32_t query_end_of_file(Tree *tree, const FileId &fid, uint64_t *eof);

// I/O and locks may end later: cb gets the status and the bytes moved. The returned
// call (one reference for the caller) can be cancelled or waited for.
using OnIo = void (*)(void *arg, uint32_t status, uint32_t bytes);
// The data lands in dst when the call ends (dst must stay valid until then).
Call *read_start(Tree *tree, const FileId &fid, uint64_t off, uint32_t len, void *dst, OnIo cb, void *arg);
// The data is copied at the start.
Call *write_start(Tree *tree, const FileId &fid, uint64_t off, const void *src, uint32_t len, OnIo cb, void *arg);
// One element; flags of kLock*.
Call *lock_start(Tree *tree, const FileId &fid, uint64_t off, uint64_t len, uint32_t flags, OnIo cb, void *arg);

// Bounds-checked readers of the response formats, shared with the fuzz target.
// Each returns kSuccess, or kInvalidNetworkResponse for bytes that break the format.
uint32_t parse_create(const std::vector<uint8_t> &body, CreateResult *out);
uint32_t parse_read(const std::vector<uint8_t> &body, uint32_t len, void *dst, uint32_t *got);
uint32_t parse_write(const std::vector<uint8_t> &body, uint32_t *count);
uint32_t parse_query_end_of_file(const std::vector<uint8_t> &body, uint64_t *eof);

}  // namespace smb
