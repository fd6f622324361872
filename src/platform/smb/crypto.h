// The cryptography of signing and encryption (all of it from nettle).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace smb {

// SP800-108 counter-mode KDF with HMAC-SHA256, L = 128: the SMB 3 key derivation.
// label and context are given with their lengths (the label's terminating NUL included).
void kdf_128(const uint8_t key[16], const uint8_t *label, size_t label_len, const uint8_t *context,
             size_t context_len, uint8_t out[16]);

// The 16-byte signature of a message whose signature field is already zeroed.
void sign_hmac_sha256(const uint8_t key[16], const uint8_t *msg, size_t len, uint8_t sig[16]);
void sign_aes_cmac(const uint8_t key[16], const uint8_t *msg, size_t len, uint8_t sig[16]);

// 3.1.1 pre-authentication integrity: hash = SHA-512(hash || msg).
void preauth_update(uint8_t hash[64], const uint8_t *msg, size_t len);

// Ciphers of the transform header.
enum Cipher : uint16_t { kAes128Ccm = 1, kAes128Gcm = 2 };

// Wraps a whole message (header and body) into a transform header (52 bytes) and its
// ciphertext. nonce: 11 (CCM) or 12 (GCM) bytes, never reused under one key.
void encrypt_message(Cipher c, const uint8_t key[16], uint64_t session_id, const uint8_t *nonce,
                     const uint8_t *msg, size_t len, std::vector<uint8_t> *out);
// Checks and unwraps a transformed message: false for one that is too short, malformed
// (ProtocolId, Flags other than 1, OriginalMessageSize other than the bytes that follow)
// or whose signature does not match; *out is then empty. The session id is the
// caller's to check. Never reads outside in[0..len).
bool decrypt_message(Cipher c, const uint8_t key[16], const uint8_t *in, size_t len, std::vector<uint8_t> *out);

// Cryptographically random bytes (client GUID, challenge, nonces, key exchange).
void random_bytes(uint8_t *out, size_t len);

}  // namespace smb
