// The SMB client's logon and cryptography against published known answers (MS-NLMP's
// NTLMv2 example; Microsoft's SMB 3.0/3.1.1 key, preauth and encryption examples), and
// against hostile or truncated input.
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
Bytes der(uint8_t tag, const Bytes &content) {
    Bytes out = {tag};
    if (content.size() >= 0x80) out.push_back(0x81);
    out.push_back((uint8_t)content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
uint32_t le16(const Bytes &b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t le32(const Bytes &b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }
Bytes hmac_md5(const Bytes &key, const Bytes &msg) {
    hmac_md5_ctx ctx;
    hmac_md5_set_key(&ctx, key.size(), key.data());
    hmac_md5_update(&ctx, msg.size(), msg.data());
    Bytes out(16);
    hmac_md5_digest(&ctx, 16, out.data());
    return out;
}
// Field i (LM, NT, domain, user, workstation, key) of an AUTHENTICATE_MESSAGE.
Bytes field(const Bytes &auth, int i) {
    size_t len = le16(auth, 12 + 8 * i), off = le32(auth, 16 + 8 * i);
    return Bytes(auth.begin() + off, auth.begin() + off + len);
}

// ---- MS-NLMP, NTLMv2 example: user "User", domain "Domain", password "Password" ----
const Bytes kChallengeMsg = H(
    "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef"
    "00000000000000002400240044000000060070170000000f5300650072007600"
    "6500720002000c0044006f006d00610069006e0001000c005300650072007600"
    "6500720000000000");
// The AV pairs in it: NetBIOS domain "Domain", NetBIOS computer "Server", EOL.
const Bytes kAvPairs = H("02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000");

// ---- SMB 3.0 / 3.1.1 examples ----
const Bytes kPreauth311 = H(
    "0DD13628CC3ED218EF9DF9772D436D0887AB9814BFAE63A80AA845F36909DB7928622DDDAD522D97"
    "51640A459762C5A9D6BB084CBB3CE6BDADEF5D5BCE3C6C01");
const Bytes kPreauthGcm = H(
    "B23F3CBFD69487D9832B79B1594A367CDD950909B774C3A4C412B4FCEA9EDDDBA7DB256BA2EA30E9"
    "77F11F9B113247578E0E915C6D2A513B8F2FCA5707DC8770");

TEST(SmbCrypto, KnownAnswers) {
    struct Kdf {
        const char *what;
        Bytes key, label, context, want;
    } kdfs[] = {
        {"3.0 signing", H("7CD451825D0450D235424E44BA6E78CC"), S("SMB2AESCMAC", 12), S("SmbSign", 8),
         H("0B7E9C5CAC36C0F6EA9AB275298CEDCE")},
        {"3.0 client to server", H("7CD451825D0450D235424E44BA6E78CC"), S("SMB2AESCCM", 11), S("ServerIn ", 10),
         H("FAD27796665B313EBB578F388632B4F7")},
        {"3.1.1 signing", H("270E1BA896585EEB7AF3472D3B4C75A7"), S("SMBSigningKey", 14), kPreauth311,
         H("73FE7A9A77BEF0BDE49C650D8CCB5F76")},
        {"3.1.1 client to server", H("270E1BA896585EEB7AF3472D3B4C75A7"), S("SMBC2SCipherKey", 16), kPreauth311,
         H("629BCBC54422A0F572B97F45989B6073")},
        {"3.1.1 GCM example, client to server", H("419FDDF34C1E001909D362AE7FB6AF79"), S("SMBC2SCipherKey", 16),
         kPreauthGcm, H("A2F5E80E5D59103034F32E52F698E5EC")},
    };
    for (const Kdf &k : kdfs) {
        uint8_t got[16];
        smb::kdf_128(k.key.data(), k.label.data(), k.label.size(), k.context.data(), k.context.size(), got);
        EXPECT_EQ(k.want, Bytes(got, got + 16)) << k.what;
    }

    // HMAC-SHA256 signing with a 16-byte key: the KDF's own input gives its answer.
    Bytes kdf_input = cat(cat(H("00000001"), S("SMB2AESCMAC", 12)), cat(H("00"), cat(S("SmbSign", 8), H("00000080"))));
    uint8_t sig[16];
    smb::sign_hmac_sha256(kdfs[0].key.data(), kdf_input.data(), kdf_input.size(), sig);
    EXPECT_EQ(kdfs[0].want, Bytes(sig, sig + 16)) << "HMAC-SHA256";

    // AES-CMAC: the final 3.1.1 SESSION_SETUP response of the example, signed with its key.
    Bytes response = H(
        "FE534D4240000100000000000100800009000000000000000300000000000000FFFE000000000000"
        "1900000000100000EBE146DA120BA25FC3376A49DFE31BC10900000048001D00A11B3019A0030A01"
        "00A3120410010000003B453CDC3524164200000000");
    Bytes want_sig(response.begin() + 48, response.begin() + 64);
    std::fill(response.begin() + 48, response.begin() + 64, 0);
    smb::sign_aes_cmac(kdfs[2].want.data(), response.data(), response.size(), sig);
    EXPECT_EQ(want_sig, Bytes(sig, sig + 16)) << "AES-CMAC";

    // Preauth: all zero, then the example's NEGOTIATE request.
    uint8_t hash[64] = {};
    Bytes negotiate = H(
        "FE534D4240000100000000000000800000000000000000000100000000000000FFFE000000000000"
        "00000000000000000000000000000000000000000000000024000500000000003F000000ECD86F32"
        "6276024F9F7752B89BB33F3A70000000020000000202100200030203110300000100260000000000"
        "010020000100FA49E6578F1F3A9F4CD3E9CC14A67AA884B3D05844E0E5A118225C15887F32FF0000"
        "0200060000000000020002000100");
    smb::preauth_update(hash, negotiate.data(), negotiate.size());
    EXPECT_EQ(H("DD94EFC5321BB618A2E208BA8920D2F422992526947A409B5037DE1E0FE8C7362B8C47122594CDE0"
                "CE26AA9DFC8BCDBDE0621957672623351A7540F1E54A0426"),
              Bytes(hash, hash + 64))
        << "preauth";

    // Transform headers of the encryption examples (client to server): each must open to
    // its message.
    struct Sealed {
        const char *what;
        smb::Cipher cipher;
        Bytes key, transformed, plain;
    } sealed[] = {
        {"3.0 CCM, client to server", smb::kAes128Ccm, H("261B72350558F2E9DCF613070383EDBF"),
         H("FD534D4281A286535415445DAE393921E44FA42E66E69A111892584FB5ED524A"
           "744DA3EE87000000000001001100001400E4080025C8FEE16605A437832D1CD5"
           "2DA9F4645333482A175FE5384563F45FCDAFAEF38BC62BA4D5C62897996625A4"
           "4C29BE5658DE2E6117585779E7B59FFD971278D08580D7FA899E410E910EABF5"
           "AA1DB43050B33B49182637759AC15D84BFCDF5B6B238993C0F4CF4D6012023F6"
           "C627297075D84B7803912D0A9639634453595EF3E33FFE4E7AC2AB"),
         H("FE534D4240000100000000000900400008000000000000000400000000000000"
           "FFFE0000010000001100001400E4080000000000000000000000000000000000"
           "3100700017000000000000000000000015010000390000020100000039020000"
           "00000000000000007000000000000000536D623320656E6372797074696F6E20"
           "74657374696E67")},
        {"3.1.1 GCM, client to server", smb::kAes128Gcm, H("A2F5E80E5D59103034F32E52F698E5EC"),
         H("FD534D42BD73D97D2BC9001BCAFAC0FDFF5FEEBCC7D6822D269CAF48904C664C0000000087000000"
           "0000010025000000001000006ECDD2A7AFC7B47763057A041B8FD4DAFFE990B70C9E09D36C084E02"
           "D14EF247F8BDE38ACF6256F8B1D3B56F77FBDEB312FEA5E92CBCC1ED8FB2EBBFAA75E49A4A394BB4"
           "4576545567C24D4C014D47C9FBDFDAFD2C4F9B72F8D256452620A299F48E29E53D6B61D1C13A19E9"
           "1AF013F00D17E3ABC2FC3D36C8C1B6B93973253852DBD442E46EE8"),
         H("FE534D4240000100000000000900010008000000000000000500000000000000FFFE000001000000"
           "25000000001000000000000000000000000000000000000031007000170000000000000000000000"
           "0600000004000000010000000400000000000000000000007000000000000000536D623320656E63"
           "72797074696F6E2074657374696E67")},
    };
    for (const Sealed &s : sealed) {
        Bytes got;
        EXPECT_TRUE(smb::decrypt_message(s.cipher, s.key.data(), s.transformed.data(), s.transformed.size(), &got))
            << s.what;
        EXPECT_EQ(s.plain, got) << s.what;
    }
    // The GCM example's nonce uses the field as we fill it (12 bytes, the rest zero), so our
    // sealing must give its bytes exactly.
    const Sealed &gcm = sealed[1];
    Bytes out;
    smb::encrypt_message(smb::kAes128Gcm, gcm.key.data(), 0x100000000025ULL, gcm.transformed.data() + 20,
                         gcm.plain.data(), gcm.plain.size(), &out);
    EXPECT_EQ(gcm.transformed, out);
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
        // An empty message seals and opens too.
        smb::encrypt_message(c, key.data(), 1, nonce, nullptr, 0, &sealed);
        EXPECT_TRUE(smb::decrypt_message(c, key.data(), sealed.data(), sealed.size(), &opened));
        EXPECT_TRUE(opened.empty());
    }
}

TEST(SmbNtlm, KnownAnswersAndHostileChallenges) {
    uint8_t got[16];
    smb::ntlm::nt_hash("Password", got);  // MD4 of UTF-16LE
    EXPECT_EQ(H("a4f49c406510bdcab6824ee7c30fd852"), Bytes(got, got + 16));
    const Bytes ntowf = H("0c868a403bfd7a93a3001ef22ef02e3f");
    smb::ntlm::ntowf_v2("User", "Domain", "Password", got);
    EXPECT_EQ(ntowf, Bytes(got, got + 16));
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
    EXPECT_EQ(H("8de40ccadbc14a82f15cb0ad0de95ca3"), Bytes(base, base + 16));
    const Bytes random_key(16, 0x55);
    smb::ntlm::rc4(base, random_key.data(), 16, encrypted);
    EXPECT_EQ(H("c5dad2544fc9799094ce1ce90bc9d03e"), Bytes(encrypted, encrypted + 16));

    // Hostile challenges: every truncation, an AV pair that overruns, no MsvAvEOL, a
    // target info field pointing past the end.
    for (size_t len = 0; len < kChallengeMsg.size(); len++)
        EXPECT_FALSE(smb::ntlm::parse_challenge(kChallengeMsg.data(), len, &ch)) << "length " << len;
    Bytes overrun = kChallengeMsg;
    overrun[0x44 + 2] = 0xff;
    Bytes no_eol = kChallengeMsg;
    no_eol[40] -= 4;  // TargetInfoLen without the EOL pair
    Bytes past_end = kChallengeMsg;
    past_end[44] = 0xff;
    for (const Bytes *b : {&overrun, &no_eol, &past_end})
        EXPECT_FALSE(smb::ntlm::parse_challenge(b->data(), b->size(), &ch));
}

TEST(SmbNtlm, AuthenticateCarriesResponsesMicAndKey) {
    const Bytes ntlm_oid = H("060a2b0601040182370202 0a");
    const Bytes blob = der(0xa1, der(0x30, cat(cat(der(0xa0, H("0a0101")), der(0xa1, ntlm_oid)),
                                               der(0xa2, der(0x04, kChallengeMsg)))));
    smb::ntlm::Inputs in;
    memset(in.client_challenge, 0xaa, 8);
    memset(in.exported_key, 0x55, 16);
    in.now = 0;
    in.workstation = "COMPUTER";

    smb::Credentials user;
    user.user = "User";
    user.domain = "Domain";
    user.password = "Password";
    user.guest = false;
    smb::Credentials guest;
    for (const smb::Credentials *cred : {&user, &guest}) {
        SCOPED_TRACE(cred->guest ? "guest" : "user");
        smb::NtlmContext ctx;
        Bytes first = smb::auth_first_token(&ctx);
        ASSERT_EQ(0x60, first[0]);
        ASSERT_EQ(40u, ctx.negotiate.size());
        EXPECT_NE(first.end(), std::search(first.begin(), first.end(), ctx.negotiate.begin(), ctx.negotiate.end()));

        Bytes out;
        uint8_t key[16];
        ASSERT_EQ(smb::kSuccess, smb::ntlm::second_token(&ctx, *cred, blob.data(), blob.size(), in, &out, key));
        EXPECT_EQ(kChallengeMsg, ctx.challenge);
        const uint8_t *tok;
        size_t tok_len;
        ASSERT_TRUE(smb::ntlm::spnego_response_token(out.data(), out.size(), &tok, &tok_len));
        Bytes auth(tok, tok + tok_len);
        ASSERT_GE(auth.size(), 88u);
        EXPECT_EQ(3u, le32(auth, 8));
        EXPECT_EQ(0xe2888211u, le32(auth, 60));  // the challenge's flags that we asked for

        uint8_t response_key[16], base[16], lm[24];
        smb::ntlm::ntowf_v2(cred->guest ? "Guest" : "User", cred->guest ? "" : "Domain", cred->guest ? "" : "Password",
                            response_key);
        // The blob: the server's pairs, then MsvAvFlags (MIC present) for a real user.
        Bytes pairs = cred->guest ? kAvPairs
                                  : cat(Bytes(kAvPairs.begin(), kAvPairs.end() - 4), H("0600040002000000 00000000"));
        Bytes nt;
        const Bytes server_challenge = H("0123456789abcdef");
        smb::ntlm::v2_responses(response_key, server_challenge.data(), in.client_challenge, 0, pairs, &nt, lm, base);
        EXPECT_EQ(Bytes(lm, lm + 24), field(auth, 0));  // no timestamp from the server: a real LMv2
        EXPECT_EQ(nt, field(auth, 1));
        EXPECT_EQ(smb::ntlm::utf16le(cred->guest ? "" : "Domain"), field(auth, 2));
        EXPECT_EQ(smb::ntlm::utf16le(cred->guest ? "Guest" : "User"), field(auth, 3));
        EXPECT_EQ(smb::ntlm::utf16le("COMPUTER"), field(auth, 4));
        uint8_t encrypted[16];
        smb::ntlm::rc4(base, in.exported_key, 16, encrypted);
        EXPECT_EQ(Bytes(encrypted, encrypted + 16), field(auth, 5));

        Bytes mic(auth.begin() + 72, auth.begin() + 88);
        if (cred->guest) {
            EXPECT_EQ(Bytes(16, 0), mic);
            EXPECT_EQ(Bytes(16, 0), Bytes(key, key + 16));  // nothing to sign with
            EXPECT_EQ(out.data() + out.size(), tok + tok_len) << "no mechListMIC";
        } else {
            EXPECT_EQ(Bytes(16, 0x55), Bytes(key, key + 16));
            // MIC = HMAC-MD5(exported key, NEGOTIATE || CHALLENGE || AUTHENTICATE with the MIC zeroed).
            Bytes zeroed = auth;
            std::fill(zeroed.begin() + 72, zeroed.begin() + 88, 0);
            Bytes all = cat(cat(ctx.negotiate, kChallengeMsg), zeroed);
            EXPECT_EQ(hmac_md5(Bytes(16, 0x55), all), mic);
            // mechListMIC follows the token: NTLM signature version 1, sequence number 0.
            Bytes tail(tok + tok_len, (const uint8_t *)out.data() + out.size());
            ASSERT_EQ(20u, tail.size());
            EXPECT_EQ(H("a312 0410 01000000"), Bytes(tail.begin(), tail.begin() + 8));
            EXPECT_EQ(H("00000000"), Bytes(tail.end() - 4, tail.end()));
        }
    }

    // Hostile blobs: every truncation, a reject state, lengths beyond the blob, an
    // indefinite length; none may be read past (ASan) or accepted.
    smb::Credentials c = user;
    smb::NtlmContext ctx;
    smb::auth_first_token(&ctx);
    Bytes out;
    uint8_t key[16];
    for (size_t len = 0; len < blob.size(); len++)
        EXPECT_EQ(smb::kInvalidNetworkResponse, smb::auth_second_token(&ctx, c, blob.data(), len, &out, key))
            << "length " << len;
    Bytes reject = blob;
    reject[reject[1] == 0x81 ? 9 : 8] = 2;
    Bytes long_len = blob;
    long_len[1] = 0x84;
    Bytes indefinite = blob;
    indefinite[1] = 0x80;
    for (const Bytes *b : {&reject, &long_len, &indefinite})
        EXPECT_EQ(smb::kInvalidNetworkResponse, smb::auth_second_token(&ctx, c, b->data(), b->size(), &out, key));
}

TEST(SmbCredentials, EnvironmentAndAuthFile) {
    kavtest::TempDir dir;
    std::string good = dir.path() + "/good", lax = dir.path() + "/lax", nouser = dir.path() + "/nouser",
                missing = dir.path() + "/missing";
    const char *secret = "s3 cret";
    std::ofstream(good) << "# comment\nusername = CORP\\dave\r\npassword =  s3 cret\r\ndomain = OTHER\n";
    std::ofstream(lax) << "username = erin\npassword = " << secret << "\n";
    std::ofstream(nouser) << "password = x\ndomain = WG\n";
    chmod(good.c_str(), 0600);
    chmod(lax.c_str(), 0644);
    chmod(nouser.c_str(), 0600);

    struct Case {
        const char *user, *password, *file;
        int rc;
        const char *want_user, *want_domain, *want_password;
        bool guest;
        const char *problem;
    } cases[] = {
        {nullptr, nullptr, nullptr, 0, "", "", "", true, ""},
        {"alice", "pw", nullptr, 0, "alice", "", "pw", false, ""},
        {"CORP\\bob", "pw", good.c_str(), 0, "bob", "CORP", "pw", false, ""},  // the environment's user wins
        {"carol", nullptr, nullptr, 0, "carol", "", "", false, ""},
        {nullptr, nullptr, good.c_str(), 0, "dave", "CORP", "s3 cret", false, ""},
        {nullptr, nullptr, lax.c_str(), 5, "", "", "", true, "may be read by others (chmod 600 it)"},
        {nullptr, nullptr, dir.path().c_str(), 5, "", "", "", true, "is not a regular file"},
        {nullptr, nullptr, missing.c_str(), 2, "", "", "", true, "No such file"},
        {nullptr, nullptr, nouser.c_str(), 87, "", "", "", true, "names no username"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.user ? k.user : "-") + " " + (k.file ? k.file : "-"));
        k.user ? setenv("KAVPROBE_SMB_USER", k.user, 1) : unsetenv("KAVPROBE_SMB_USER");
        k.password ? setenv("KAVPROBE_SMB_PASSWORD", k.password, 1) : unsetenv("KAVPROBE_SMB_PASSWORD");
        k.file ? setenv("KAVPROBE_SMB_AUTHFILE", k.file, 1) : unsetenv("KAVPROBE_SMB_AUTHFILE");
        smb::Credentials c;
        c.password = "stale";
        std::string problem;
        EXPECT_EQ(k.rc, smb::credentials_load(&c, &problem));
        EXPECT_EQ(k.want_user, c.user);
        EXPECT_EQ(k.want_domain, c.domain);
        EXPECT_EQ(k.want_password, c.password);
        EXPECT_EQ(k.guest, c.guest);
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
