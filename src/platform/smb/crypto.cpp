// Signing, key derivation and the transform header's authenticated encryption, on nettle.
#include "crypto.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include <nettle/ccm.h>
#include <nettle/cmac.h>
#include <nettle/gcm.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/sha2.h>

namespace smb {

namespace {

constexpr size_t kTransformSize = 52;
constexpr size_t kSigOff = 4, kNonceOff = 20, kSizeOff = 36, kFlagsOff = 42, kSessionOff = 44;
constexpr size_t kAadSize = kTransformSize - kNonceOff;  // nonce field to the end of the header

void put_le(uint8_t *p, uint64_t v, int n) {
    for (int i = 0; i < n; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint64_t get_le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

// One AEAD pass over the transform header's AAD; tag out (encrypt) or computed (decrypt).
void aead(Cipher c, const uint8_t key[16], const uint8_t *aad, const uint8_t *src, size_t len, uint8_t *dst,
          bool encrypt, uint8_t tag[16]) {
    const uint8_t *nonce = aad;  // the nonce field opens the AAD
    if (c == kAes128Ccm) {
        ccm_aes128_ctx ctx;
        ccm_aes128_set_key(&ctx, key);
        ccm_aes128_set_nonce(&ctx, 11, nonce, kAadSize, len, 16);
        ccm_aes128_update(&ctx, kAadSize, aad);
        if (encrypt) ccm_aes128_encrypt(&ctx, len, dst, src);
        else ccm_aes128_decrypt(&ctx, len, dst, src);
        ccm_aes128_digest(&ctx, 16, tag);
        explicit_bzero(&ctx, sizeof ctx);
    } else {
        gcm_aes128_ctx ctx;
        gcm_aes128_set_key(&ctx, key);
        gcm_aes128_set_iv(&ctx, 12, nonce);
        gcm_aes128_update(&ctx, kAadSize, aad);
        if (encrypt) gcm_aes128_encrypt(&ctx, len, dst, src);
        else gcm_aes128_decrypt(&ctx, len, dst, src);
        gcm_aes128_digest(&ctx, 16, tag);
        explicit_bzero(&ctx, sizeof ctx);
    }
}

}  // namespace

void kdf_128(const uint8_t key[16], const uint8_t *label, size_t label_len, const uint8_t *context,
             size_t context_len, uint8_t out[16]) {
    static const uint8_t counter[4] = {0, 0, 0, 1};
    static const uint8_t zero = 0;
    static const uint8_t bits[4] = {0, 0, 0, 128};
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, 16, key);
    hmac_sha256_update(&ctx, 4, counter);
    hmac_sha256_update(&ctx, label_len, label);
    hmac_sha256_update(&ctx, 1, &zero);
    hmac_sha256_update(&ctx, context_len, context);
    hmac_sha256_update(&ctx, 4, bits);
    uint8_t full[SHA256_DIGEST_SIZE];
    hmac_sha256_digest(&ctx, sizeof full, full);
    memcpy(out, full, 16);
    explicit_bzero(full, sizeof full);
    explicit_bzero(&ctx, sizeof ctx);
}

void sign_hmac_sha256(const uint8_t key[16], const uint8_t *msg, size_t len, uint8_t sig[16]) {
    hmac_sha256_ctx ctx;
    hmac_sha256_set_key(&ctx, 16, key);
    hmac_sha256_update(&ctx, len, msg);
    hmac_sha256_digest(&ctx, 16, sig);
    explicit_bzero(&ctx, sizeof ctx);
}

void sign_aes_cmac(const uint8_t key[16], const uint8_t *msg, size_t len, uint8_t sig[16]) {
    cmac_aes128_ctx ctx;
    cmac_aes128_set_key(&ctx, key);
    cmac_aes128_update(&ctx, len, msg);
    cmac_aes128_digest(&ctx, 16, sig);
    explicit_bzero(&ctx, sizeof ctx);
}

void preauth_update(uint8_t hash[64], const uint8_t *msg, size_t len) {
    sha512_ctx ctx;
    sha512_init(&ctx);
    sha512_update(&ctx, 64, hash);
    sha512_update(&ctx, len, msg);
    sha512_digest(&ctx, 64, hash);
}

void encrypt_message(Cipher c, const uint8_t key[16], uint64_t session_id, const uint8_t *nonce,
                     const uint8_t *msg, size_t len, std::vector<uint8_t> *out) {
    out->assign(kTransformSize + len, 0);
    uint8_t *h = out->data();
    h[0] = 0xFD;
    h[1] = 'S';
    h[2] = 'M';
    h[3] = 'B';
    memcpy(h + kNonceOff, nonce, c == kAes128Ccm ? 11 : 12);
    put_le(h + kSizeOff, len, 4);
    put_le(h + kFlagsOff, 1, 2);  // encrypted
    put_le(h + kSessionOff, session_id, 8);
    aead(c, key, h + kNonceOff, msg, len, h + kTransformSize, true, h + kSigOff);
}

bool decrypt_message(Cipher c, const uint8_t key[16], const uint8_t *in, size_t len, std::vector<uint8_t> *out) {
    out->clear();
    if (in == nullptr || len < kTransformSize) return false;
    if (in[0] != 0xFD || in[1] != 'S' || in[2] != 'M' || in[3] != 'B') return false;
    if (get_le(in + kSizeOff, 4) != len - kTransformSize) return false;
    if (get_le(in + kFlagsOff, 2) != 1) return false;
    size_t n = len - kTransformSize;
    std::vector<uint8_t> plain(n);
    uint8_t tag[16];
    aead(c, key, in + kNonceOff, in + kTransformSize, n, plain.data(), false, tag);
    if (!memeql_sec(tag, in + kSigOff, 16)) {
        // Unauthenticated plaintext never leaves.
        if (n) explicit_bzero(plain.data(), n);
        return false;
    }
    out->swap(plain);
    return true;
}

void random_bytes(uint8_t *out, size_t len) {
    while (len > 0) {
        ssize_t got = getrandom(out, len, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            // Keys and nonces without entropy would be worse than no connection.
            abort();
        }
        out += got;
        len -= (size_t)got;
    }
}

}  // namespace smb
