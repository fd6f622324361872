// Logging on: the credentials the process uses, and NTLMv2 inside SPNEGO.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace smb {

// Who logs on. Strings are UTF-8 as the environment gives them. guest: no credentials
// were given; the session logs on as Guest with no password.
struct Credentials {
    std::string user;
    std::string domain;
    std::string password;
    bool guest = true;
};

// Reads KAVPROBE_SMB_USER ("user" or "DOMAIN\user") with KAVPROBE_SMB_PASSWORD (unset:
// an empty password), or else KAVPROBE_SMB_AUTHFILE (lines "username = ", "password = ",
// "domain = "; a DOMAIN\ in the username wins over the domain line); neither: guest.
// 0, or a Win32 error with *problem set to a line for the user (which never holds the
// password): ERROR_FILE_NOT_FOUND for a missing file, ERROR_ACCESS_DENIED for one that
// cannot be read, is not a regular file or that anyone but its owner may read,
// ERROR_INVALID_PARAMETER for one without a username.
int credentials_load(Credentials *out, std::string *problem);
// Overwrites the password's bytes before the record goes.
void credentials_wipe(Credentials *c);

// One NTLM authentication: keeps the messages that the MIC covers.
struct NtlmContext {
    std::vector<uint8_t> negotiate;  // our NEGOTIATE_MESSAGE
    std::vector<uint8_t> challenge;  // the server's CHALLENGE_MESSAGE
    uint32_t flags = 0;              // negotiated flags
};

// The first SESSION_SETUP token: SPNEGO NegTokenInit offering NTLMSSP, carrying NEGOTIATE.
std::vector<uint8_t> auth_first_token(NtlmContext *ctx);
// From the server's SPNEGO NegTokenResp carrying CHALLENGE, the NegTokenResp carrying
// AUTHENTICATE (NTLMv2 with AV pairs, timestamp, MIC, key exchange) and the session key
// (16 bytes; all zero for a guest, whose session must not be signed). 0, or
// kInvalidNetworkResponse (client.h) for a blob that breaks the format. The blob is the
// server's, so hostile: it is never read outside blob[0..len), whatever it holds (a
// fuzz target feeds it directly).
uint32_t auth_second_token(NtlmContext *ctx, const Credentials &cred, const uint8_t *blob, size_t len,
                           std::vector<uint8_t> *out, uint8_t session_key[16]);

}  // namespace smb
