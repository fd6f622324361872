// The SMB client's logon and cryptography: one published known answer per primitive
// (Microsoft's NTLMv2 example and its SMB 3.0/3.1.1 examples), a sealed message that
// does not open once altered, and where the credentials come from. Memory safety on
// hostile input is the fuzz target's (tests/fuzz/fuzz_smb.cpp).
#ifndef _WIN32

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/smb/auth.h"
#include "platform/smb/crypto.h"
#include "platform/smb/ntlm_internal.h"
#include "support/testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes H(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}
Bytes S(const char *s) { return Bytes(s, s + strlen(s) + 1); }  // a label or context, NUL included
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(SmbCrypto, KnownAnswers) {
    // KDF, 3.1.1 signing key: its context is the example's preauth hash.
    const Bytes preauth = H("0DD13628CC3ED218EF9DF9772D436D0887AB9814BFAE63A80AA845F36909DB7928622DDDAD522D9751640A4597"
                            "62C5A9D6BB084CBB3CE6BDADEF5D5BCE3C6C01");
    const Bytes label = S("SMBSigningKey"), base_key = H("270E1BA896585EEB7AF3472D3B4C75A7");
    uint8_t key[16], sig[16];
    smb::kdf_128(base_key.data(), label.data(), label.size(), preauth.data(), preauth.size(), key);
    EXPECT_EQ(H("73FE7A9A77BEF0BDE49C650D8CCB5F76"), Bytes(key, key + 16)) << "KDF";

    // HMAC-SHA256 signing: the 3.0 KDF's single block, its answer the 3.0 signing key.
    Bytes kdf_input = cat(cat(H("00000001"), S("SMB2AESCMAC")), cat(H("00"), cat(S("SmbSign"), H("00000080"))));
    smb::sign_hmac_sha256(H("7CD451825D0450D235424E44BA6E78CC").data(), kdf_input.data(), kdf_input.size(), sig);
    EXPECT_EQ(H("0B7E9C5CAC36C0F6EA9AB275298CEDCE"), Bytes(sig, sig + 16)) << "HMAC-SHA256";

    // AES-CMAC: the final 3.1.1 SESSION_SETUP response of the example, signed with its key.
    Bytes response = H("FE534D4240000100000000000100800009000000000000000300000000000000FFFE00000000000019000000001000"
                       "00EBE146DA120BA25FC3376A49DFE31BC10900000048001D00A11B3019A0030A0100A3120410010000003B453CDC35"
                       "24164200000000");
    Bytes want_sig(response.begin() + 48, response.begin() + 64);
    std::fill(response.begin() + 48, response.begin() + 64, 0);
    smb::sign_aes_cmac(key, response.data(), response.size(), sig);
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

    // GCM: the 3.1.1 example's nonce is the field as we fill it (12 bytes, the rest zero);
    // sealing its message gives its bytes exactly.
    Bytes gcm = H("FD534D42BD73D97D2BC9001BCAFAC0FDFF5FEEBCC7D6822D269CAF48904C664C000000008700000000000100250000000010"
                  "00006ECDD2A7AFC7B47763057A041B8FD4DAFFE990B70C9E09D36C084E02D14EF247F8BDE38ACF6256F8B1D3B56F77FBDEB3"
                  "12FEA5E92CBCC1ED8FB2EBBFAA75E49A4A394BB44576545567C24D4C014D47C9FBDFDAFD2C4F9B72F8D256452620A299F48E"
                  "29E53D6B61D1C13A19E91AF013F00D17E3ABC2FC3D36C8C1B6B93973253852DBD442E46EE8");
    Bytes plain = H("FE534D4240000100000000000900010008000000000000000500000000000000FFFE000001000000250000000010000000"
                    "00000000000000000000000000000031007000170000000000000000000000060000000400000001000000040000000000"
                    "0000000000007000000000000000536D623320656E6372797074696F6E2074657374696E67"),
          got;
    smb::encrypt_message(smb::kAes128Gcm, H("A2F5E80E5D59103034F32E52F698E5EC").data(), 0x100000000025ULL,
                         gcm.data() + 20, plain.data(), plain.size(), &got);
    EXPECT_EQ(gcm, got) << "GCM";
}

// Both ciphers open what they seal and nothing altered: a flipped bit in the authenticated
// header, or a message cut short. (CCM against Samba: tests/shares/smb_client_test.py.)
TEST(SmbCrypto, SealedMessagesOpenOnlyIntact) {
    const Bytes key = H("00112233445566778899aabbccddeeff"), msg = S("a message of the client's");
    for (smb::Cipher c : {smb::kAes128Ccm, smb::kAes128Gcm}) {
        uint8_t nonce[12];
        smb::random_bytes(nonce, sizeof nonce);
        Bytes sealed, opened;
        smb::encrypt_message(c, key.data(), 0x1234, nonce, msg.data(), msg.size(), &sealed);
        ASSERT_TRUE(smb::decrypt_message(c, key.data(), sealed.data(), sealed.size(), &opened)) << c;
        EXPECT_EQ(msg, opened);
        sealed[44] ^= 0x01;  // the session id
        EXPECT_FALSE(smb::decrypt_message(c, key.data(), sealed.data(), sealed.size(), &opened)) << c;
        sealed[44] ^= 0x01;
        EXPECT_FALSE(smb::decrypt_message(c, key.data(), sealed.data(), sealed.size() - 1, &opened)) << c;
    }
}

// MS-NLMP's NTLMv2 example: user "User", domain "Domain", password "Password", server
// challenge 0123456789abcdef, client challenge aa..., time 0.
TEST(SmbNtlm, KnownAnswer) {
    const Bytes challenge = H("4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002400"
                              "240044000000060070170000000f530065007200760065007200"
                              "02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000");
    smb::ntlm::Challenge ch;
    ASSERT_TRUE(smb::ntlm::parse_challenge(challenge.data(), challenge.size(), &ch));
    uint8_t ntowf[16], lm[24], base[16], encrypted[16];
    smb::ntlm::ntowf_v2("uSER", "Domain", "Password", ntowf);  // the user name's case does not matter
    const uint8_t client_challenge[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    Bytes nt;
    smb::ntlm::v2_responses(ntowf, ch.server_challenge, client_challenge, 0, ch.target_info, &nt, lm, base);
    EXPECT_EQ(H("68cd0ab851e51c96aabc927bebef6a1c"), Bytes(nt.begin(), nt.begin() + 16)) << "NTProofStr";
    EXPECT_EQ(H("86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"), Bytes(lm, lm + 24));
    const Bytes random_key(16, 0x55);  // key exchange: the random session key under the base key
    smb::ntlm::rc4(base, random_key.data(), 16, encrypted);
    EXPECT_EQ(H("c5dad2544fc9799094ce1ce90bc9d03e"), Bytes(encrypted, encrypted + 16));

    // A challenge cut short is refused. (The rest of the exchange, the MIC included, is
    // every logon to Samba in tests/shares/.)
    EXPECT_FALSE(smb::ntlm::parse_challenge(challenge.data(), challenge.size() - 1, &ch));
}

TEST(SmbCredentials, EnvironmentAndAuthFile) {
    kavtest::TempDir dir;
    const std::string good = dir.path() + "/good", lax = dir.path() + "/lax";
    std::ofstream(good) << "# comment\nusername = CORP\\dave\r\npassword =  s3 cret\r\ndomain = OTHER\n";
    std::ofstream(lax) << "username = erin\npassword = s3 cret\n";
    chmod(good.c_str(), 0600);
    chmod(lax.c_str(), 0644);
    struct Case {
        const char *user, *file;
        int rc;
        const char *want, *problem;  // want: domain\user:password
    } cases[] = {
        {"CORP\\bob", good.c_str(), 0, "CORP\\bob:pw", ""},  // the environment's user wins
        {nullptr, good.c_str(), 0, "CORP\\dave:s3 cret", ""},
        {nullptr, lax.c_str(), 5, "\\:", "may be read by others (chmod 600 it)"},
    };
    for (const Case &k : cases) {
        k.user ? setenv("KAVPROBE_SMB_USER", k.user, 1) : unsetenv("KAVPROBE_SMB_USER");
        k.user ? setenv("KAVPROBE_SMB_PASSWORD", "pw", 1) : unsetenv("KAVPROBE_SMB_PASSWORD");
        setenv("KAVPROBE_SMB_AUTHFILE", k.file, 1);
        smb::Credentials c;
        std::string problem;
        EXPECT_EQ(k.rc, smb::credentials_load(&c, &problem)) << k.file;
        EXPECT_EQ(k.want, c.domain + "\\" + c.user + ":" + c.password);
        EXPECT_NE(std::string::npos, problem.find(k.problem)) << problem;
        EXPECT_EQ(std::string::npos, problem.find("s3 cret")) << problem;
    }
    for (const char *v : {"KAVPROBE_SMB_USER", "KAVPROBE_SMB_PASSWORD", "KAVPROBE_SMB_AUTHFILE"}) unsetenv(v);
}

}  // namespace

#endif  // _WIN32
