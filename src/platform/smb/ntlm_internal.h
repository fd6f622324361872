// The pieces of the NTLM logon that auth.cpp builds on, open to the tests (known answers)
// and to the fuzz target; the set-up also takes its UTF-16 conversion for the share's
// name. Not for other callers: auth.h is the interface.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "auth.h"

namespace smb {
namespace ntlm {

// UTF-8 to UTF-16LE; bytes that are not UTF-8 become U+FFFD. upper: the case mapping
// NTOWFv2 applies to the user name (ASCII, Latin-1, Cyrillic and full-width Latin).
std::vector<uint8_t> utf16le(const std::string &s, bool upper = false);

// MD4 of the UTF-16LE password.
void nt_hash(const std::string &password, uint8_t out[16]);
// HMAC-MD5(NT hash, UTF-16LE(UPPER(user)) || UTF-16LE(domain)).
void ntowf_v2(const std::string &user, const std::string &domain, const std::string &password, uint8_t out[16]);

// What the client uses of a CHALLENGE_MESSAGE.
struct Challenge {
    uint32_t flags = 0;
    uint8_t server_challenge[8] = {};
    std::vector<uint8_t> target_info;  // AV pairs as sent, MsvAvEOL included
    bool has_time = false;
    uint64_t time = 0;                 // MsvAvTimestamp (FILETIME)
};
// false for bytes that are not a well-formed CHALLENGE_MESSAGE (fields out of bounds,
// AV pairs that overrun or lack their end). Never reads outside p[0..n).
bool parse_challenge(const uint8_t *p, size_t n, Challenge *out);

// The NTLMv2 responses for the given AV pairs (as they go into the blob, MsvAvEOL
// included): nt = NTProofStr || blob, lm = LMv2 || client challenge, and the session
// base key.
void v2_responses(const uint8_t response_key[16], const uint8_t server_challenge[8],
                  const uint8_t client_challenge[8], uint64_t time, const std::vector<uint8_t> &av_pairs,
                  std::vector<uint8_t> *nt, uint8_t lm[24], uint8_t session_base_key[16]);

void rc4(const uint8_t key[16], const uint8_t *in, size_t n, uint8_t *out);

// The choices auth_second_token makes at random or from the system, fixed by tests.
struct Inputs {
    uint8_t client_challenge[8];
    uint8_t exported_key[16];  // the random session key sent under key exchange
    uint64_t now;              // FILETIME when the server sent none
    std::string workstation;
};
uint32_t second_token(NtlmContext *ctx, const Credentials &cred, const uint8_t *blob, size_t len,
                      const Inputs &in, std::vector<uint8_t> *out, uint8_t session_key[16]);

// The responseToken of a SPNEGO NegTokenResp, pointing into blob; false when the blob
// is not one or carries none, or its state is reject.
bool spnego_response_token(const uint8_t *blob, size_t len, const uint8_t **token, size_t *token_len);

}  // namespace ntlm
}  // namespace smb
