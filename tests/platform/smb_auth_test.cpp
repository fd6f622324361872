// The SMB client's logon and cryptography: one published known answer per primitive
// (Microsoft's NTLMv2 example and its SMB 3.0/3.1.1 key, preauth and encryption
// examples), hostile or truncated input, and where the credentials come from.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <nettle/hmac.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/smb/auth.h"
#include "platform/smb/client.h"
#include "platform/smb/crypto.h"
#include "platform/smb/ntlm_internal.h"
#include "support/testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes H(const std::string &hex) {
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (isxdigit((unsigned char)c)) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back((uint8_t)std::stoul(digits.substr(i, 2), nullptr, 16));
    return out;
}
Bytes S(const char *s, size_t n) { return Bytes(s, s + n); }  // a label or context, NUL included
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes der(uint8_t tag, const Bytes &content) {
    Bytes out = {tag};
    if (content.size() >= 0x80) out.push_back(0x81);
    out.push_back((uint8_t)content.size());
    return cat(out, content);
}

// The NTLMv2 example: user "User", domain "Domain", password "Password"; AV pairs
// NetBIOS domain "Domain", NetBIOS computer "Server", EOL.
const Bytes kAvPairs = H("02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000");
const Bytes kChallengeMsg = cat(H("4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002400"
                                  "240044000000060070170000000f530065007200760065007200"),
                                kAvPairs);

TEST(SmbCrypto, KnownAnswers) {
    // KDF, 3.1.1 signing key: its context is the example's preauth hash.
    const Bytes preauth = H("0DD13628CC3ED218EF9DF9772D436D0887AB9814BFAE63A80AA845F36909DB7928622DDDAD522D9751640A4597"
                            "62C5A9D6BB084CBB3CE6BDADEF5D5BCE3C6C01");
    const Bytes label = S("SMBSigningKey", 14);
    uint8_t signing_key[16], sig[16];
    smb::kdf_128(H("270E1BA896585EEB7AF3472D3B4C75A7").data(), label.data(), label.size(), preauth.data(),
                 preauth.size(), signing_key);
    EXPECT_EQ(H("73FE7A9A77BEF0BDE49C650D8CCB5F76"), Bytes(signing_key, signing_key + 16)) << "KDF";

    // HMAC-SHA256 signing: the 3.0 KDF's single block, its answer the 3.0 signing key.
    Bytes kdf_input = cat(cat(H("00000001"), S("SMB2AESCMAC", 12)), cat(H("00"), cat(S("SmbSign", 8), H("00000080"))));
    smb::sign_hmac_sha256(H("7CD451825D0450D235424E44BA6E78CC").data(), kdf_input.data(), kdf_input.size(), sig);
    EXPECT_EQ(H("0B7E9C5CAC36C0F6EA9AB275298CEDCE"), Bytes(sig, sig + 16)) << "HMAC-SHA256";

    // AES-CMAC: the final 3.1.1 SESSION_SETUP response of the example, signed with its key.
    Bytes response = H("FE534D4240000100000000000100800009000000000000000300000000000000FFFE00000000000019000000001000"
                       "00EBE146DA120BA25FC3376A49DFE31BC10900000048001D00A11B3019A0030A0100A3120410010000003B453CDC35"
                       "24164200000000");
    Bytes want_sig(response.begin() + 48, response.begin() + 64);
    std::fill(response.begin() + 48, response.begin() + 64, 0);
    smb::sign_aes_cmac(signing_key, response.data(), response.size(), sig);
    EXPECT_EQ(want_sig, Bytes(sig, sig + 16)) << "AES-CMAC";

    // Preauth: all zero, then the example's NEGOTIATE request.
    uint8_t hash[64] = {};
    Bytes negotiate = H("FE534D4240000100000000000000800000000000000000000100000000000000FFFE00000000000000000000000000"
                        "000000000000000000000000000000000024000500000000003F000000ECD86F326276024F9F7752B89BB33F3A7000"
                        "0000020000000202100200030203110300000100260000000000010020000100FA49E6578F1F3A9F4CD3E9CC14A67A"
                        "A884B3D05844E0E5A118225C15887F32FF00000200060000000000020002000100");
    smb::preauth_update(hash, negotiate.data(), negotiate.size());
    EXPECT_EQ(H("DD94EFC5321BB618A2E208BA8920D2F422992526947A409B5037DE1E0FE8C7362B8C47122594CDE0CE26AA9DFC8BCDBDE06219"
                "57672623351A7540F1E54A0426"),
              Bytes(hash, hash + 64))
        << "preauth";

    // The 3.0 CCM example opens to its message.
    Bytes got;
    Bytes ccm = H("FD534D4281A286535415445DAE393921E44FA42E66E69A111892584FB5ED524A744DA3EE87000000000001001100001400E4"
                  "080025C8FEE16605A437832D1CD52DA9F4645333482A175FE5384563F45FCDAFAEF38BC62BA4D5C62897996625A44C29BE56"
                  "58DE2E6117585779E7B59FFD971278D08580D7FA899E410E910EABF5AA1DB43050B33B49182637759AC15D84BFCDF5B6B238"
                  "993C0F4CF4D6012023F6C627297075D84B7803912D0A9639634453595EF3E33FFE4E7AC2AB");
    EXPECT_TRUE(smb::decrypt_message(smb::kAes128Ccm, H("261B72350558F2E9DCF613070383EDBF").data(), ccm.data(),
                                     ccm.size(), &got));
    EXPECT_EQ(H("FE534D4240000100000000000900400008000000000000000400000000000000FFFE0000010000001100001400E40800000000"
                "000000000000000000000000003100700017000000000000000000000015010000390000020100000039020000000000000000"
                "00007000000000000000536D623320656E6372797074696F6E2074657374696E67"),
              got)
        << "CCM";
    // The 3.1.1 GCM example's nonce is the field as we fill it (12 bytes, the rest zero):
    // sealing its message gives its bytes exactly.
    Bytes gcm = H("FD534D42BD73D97D2BC9001BCAFAC0FDFF5FEEBCC7D6822D269CAF48904C664C000000008700000000000100250000000010"
                  "00006ECDD2A7AFC7B47763057A041B8FD4DAFFE990B70C9E09D36C084E02D14EF247F8BDE38ACF6256F8B1D3B56F77FBDEB3"
                  "12FEA5E92CBCC1ED8FB2EBBFAA75E49A4A394BB44576545567C24D4C014D47C9FBDFDAFD2C4F9B72F8D256452620A299F48E"
                  "29E53D6B61D1C13A19E91AF013F00D17E3ABC2FC3D36C8C1B6B93973253852DBD442E46EE8");
    Bytes plain = H("FE534D4240000100000000000900010008000000000000000500000000000000FFFE000001000000250000000010000000"
                    "00000000000000000000000000000031007000170000000000000000000000060000000400000001000000040000000000"
                    "0000000000007000000000000000536D623320656E6372797074696F6E2074657374696E67");
    smb::encrypt_message(smb::kAes128Gcm, H("A2F5E80E5D59103034F32E52F698E5EC").data(), 0x100000000025ULL,
                         gcm.data() + 20, plain.data(), plain.size(), &got);
    EXPECT_EQ(gcm, got) << "GCM";
}

TEST(SmbCrypto, TransformRoundTripRejectsTamperingAndTruncation) {
    const Bytes key = H("00112233445566778899aabbccddeeff");
    Bytes msg(100);
    for (size_t i = 0; i < msg.size(); i++) msg[i] = (uint8_t)i;
    for (smb::Cipher c : {smb::kAes128Ccm, smb::kAes128Gcm}) {
        SCOPED_TRACE(c == smb::kAes128Ccm ? "CCM" : "GCM");
        uint8_t nonce[12];
        smb::random_bytes(nonce, sizeof nonce);
        Bytes sealed, opened;
        smb::encrypt_message(c, key.data(), 0x1234, nonce, msg.data(), msg.size(), &sealed);
        ASSERT_EQ(52 + msg.size(), sealed.size());
        EXPECT_EQ(0, memcmp(sealed.data() + 20, nonce, c == smb::kAes128Ccm ? 11 : 12));
        ASSERT_TRUE(smb::decrypt_message(c, key.data(), sealed.data(), sealed.size(), &opened));
        EXPECT_EQ(msg, opened);
        // Every byte counts: magic, signature, nonce, size, flags, session id, ciphertext.
        for (size_t at = 0; at < sealed.size(); at++) {
            Bytes bad = sealed;
            bad[at] ^= 0x01;
            EXPECT_FALSE(smb::decrypt_message(c, key.data(), bad.data(), bad.size(), &opened)) << "byte " << at;
            EXPECT_TRUE(opened.empty());
        }
        for (size_t len = 0; len < sealed.size(); len++)
            EXPECT_FALSE(smb::decrypt_message(c, key.data(), sealed.data(), len, &opened)) << "length " << len;
    }
}

TEST(SmbNtlm, KnownAnswersAndHostileChallenges) {
    uint8_t got[16];
    const Bytes ntowf = H("0c868a403bfd7a93a3001ef22ef02e3f");
    smb::ntlm::ntowf_v2("uSER", "Domain", "Password", got);  // the user name's case does not matter
    EXPECT_EQ(ntowf, Bytes(got, got + 16));

    smb::ntlm::Challenge ch;
    ASSERT_TRUE(smb::ntlm::parse_challenge(kChallengeMsg.data(), kChallengeMsg.size(), &ch));
    EXPECT_EQ(0xe28a8233u, ch.flags);
    EXPECT_EQ(H("0123456789abcdef"), Bytes(ch.server_challenge, ch.server_challenge + 8));
    EXPECT_EQ(kAvPairs, ch.target_info);
    EXPECT_FALSE(ch.has_time);

    const uint8_t client_challenge[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    Bytes nt;
    uint8_t lm[24], base[16], encrypted[16];
    smb::ntlm::v2_responses(ntowf.data(), ch.server_challenge, client_challenge, 0, ch.target_info, &nt, lm, base);
    EXPECT_EQ(H("68cd0ab851e51c96aabc927bebef6a1c"), Bytes(nt.begin(), nt.begin() + 16));
    EXPECT_EQ(H("86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"), Bytes(lm, lm + 24));
    const Bytes random_key(16, 0x55);  // key exchange: the random session key under the base key
    smb::ntlm::rc4(base, random_key.data(), 16, encrypted);
    EXPECT_EQ(H("c5dad2544fc9799094ce1ce90bc9d03e"), Bytes(encrypted, encrypted + 16));

    // Every truncation, an AV pair that overruns, no MsvAvEOL, target info past the end.
    for (size_t len = 0; len < kChallengeMsg.size(); len++)
        EXPECT_FALSE(smb::ntlm::parse_challenge(kChallengeMsg.data(), len, &ch)) << "length " << len;
    Bytes overrun = kChallengeMsg, no_eol = kChallengeMsg, past_end = kChallengeMsg;
    overrun[0x44 + 2] = 0xff;
    no_eol[40] -= 4;
    past_end[44] = 0xff;
    for (const Bytes *b : {&overrun, &no_eol, &past_end})
        EXPECT_FALSE(smb::ntlm::parse_challenge(b->data(), b->size(), &ch));
}

TEST(SmbNtlm, AuthenticateCarriesItsMicAndHostileBlobsAreRefused) {
    const Bytes blob = der(0xa1, der(0x30, cat(cat(der(0xa0, H("0a0101")), der(0xa1, H("060a2b06010401823702020a"))),
                                               der(0xa2, der(0x04, kChallengeMsg)))));
    smb::ntlm::Inputs in;
    memset(in.client_challenge, 0xaa, 8);
    memset(in.exported_key, 0x55, 16);
    in.now = 0;
    smb::Credentials user;
    user.user = "User";
    user.domain = "Domain";
    user.password = "Password";
    user.guest = false;
    smb::NtlmContext ctx;
    smb::auth_first_token(&ctx);
    Bytes out;
    uint8_t key[16];
    ASSERT_EQ(smb::kSuccess, smb::ntlm::second_token(&ctx, user, blob.data(), blob.size(), in, &out, key));
    EXPECT_EQ(Bytes(16, 0x55), Bytes(key, key + 16));
    const uint8_t *tok;
    size_t tok_len;
    ASSERT_TRUE(smb::ntlm::spnego_response_token(out.data(), out.size(), &tok, &tok_len));
    ASSERT_GE(tok_len, 88u);
    // MIC = HMAC-MD5(exported key, NEGOTIATE || CHALLENGE || AUTHENTICATE with the MIC zeroed).
    Bytes auth(tok, tok + tok_len), mic(tok + 72, tok + 88), want(16);
    std::fill(auth.begin() + 72, auth.begin() + 88, 0);
    Bytes all = cat(cat(ctx.negotiate, kChallengeMsg), auth);
    hmac_md5_ctx hmac;
    hmac_md5_set_key(&hmac, 16, in.exported_key);
    hmac_md5_update(&hmac, all.size(), all.data());
    hmac_md5_digest(&hmac, 16, want.data());
    EXPECT_EQ(want, mic);

    // Every truncation, a reject state, lengths beyond the blob, an indefinite length;
    // none may be read past (ASan) or accepted.
    for (size_t len = 0; len < blob.size(); len++)
        EXPECT_EQ(smb::kInvalidNetworkResponse, smb::auth_second_token(&ctx, user, blob.data(), len, &out, key))
            << "length " << len;
    Bytes reject = blob, long_len = blob, indefinite = blob;
    reject[reject[1] == 0x81 ? 9 : 8] = 2;
    long_len[1] = 0x84;
    indefinite[1] = 0x80;
    for (const Bytes *b : {&reject, &long_len, &indefinite})
        EXPECT_EQ(smb::kInvalidNetworkResponse, smb::auth_second_token(&ctx, user, b->data(), b->size(), &out, key));
}

TEST(SmbCredentials, EnvironmentAndAuthFile) {
    kavtest::TempDir dir;
    const std::string good = dir.path() + "/good", lax = dir.path() + "/lax";
    const char *secret = "s3 cret";
    std::ofstream(good) << "# comment\nusername = CORP\\dave\r\npassword =  s3 cret\r\ndomain = OTHER\n";
    std::ofstream(lax) << "username = erin\npassword = " << secret << "\n";
    chmod(good.c_str(), 0600);
    chmod(lax.c_str(), 0644);
    struct Case {
        const char *user, *file;
        int rc;
        const char *want_user, *want_domain, *want_password, *problem;
    } cases[] = {
        {nullptr, nullptr, 0, "", "", "", ""},  // a guest
        {"alice", nullptr, 0, "alice", "", "pw", ""},
        {"CORP\\bob", good.c_str(), 0, "bob", "CORP", "pw", ""},  // the environment's user wins
        {nullptr, good.c_str(), 0, "dave", "CORP", "s3 cret", ""},
        {nullptr, lax.c_str(), 5, "", "", "", "may be read by others (chmod 600 it)"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.user ? k.user : "-") + " " + (k.file ? k.file : "-"));
        k.user ? setenv("KAVPROBE_SMB_USER", k.user, 1) : unsetenv("KAVPROBE_SMB_USER");
        k.user ? setenv("KAVPROBE_SMB_PASSWORD", "pw", 1) : unsetenv("KAVPROBE_SMB_PASSWORD");
        k.file ? setenv("KAVPROBE_SMB_AUTHFILE", k.file, 1) : unsetenv("KAVPROBE_SMB_AUTHFILE");
        smb::Credentials c;
        c.password = "stale";
        std::string problem;
        EXPECT_EQ(k.rc, smb::credentials_load(&c, &problem));
        EXPECT_EQ(k.want_user, c.user);
        EXPECT_EQ(k.want_domain, c.domain);
        EXPECT_EQ(k.want_password, c.password);
        EXPECT_EQ(*k.want_user == 0, c.guest);
        EXPECT_NE(std::string::npos, problem.find(k.problem)) << problem;
        EXPECT_EQ(std::string::npos, problem.find(secret)) << problem;
        smb::credentials_wipe(&c);
        EXPECT_TRUE(c.password.empty() && c.user.empty() && c.guest);
    }
    unsetenv("KAVPROBE_SMB_USER");
    unsetenv("KAVPROBE_SMB_PASSWORD");
    unsetenv("KAVPROBE_SMB_AUTHFILE");
}

}  // namespace

#endif  // _WIN32
