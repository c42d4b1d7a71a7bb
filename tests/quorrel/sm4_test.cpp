// The cipher against the standard's worked example and against OpenSSL's SM4
// as an independent implementation, and the inputs it has to refuse.
#include "sm4.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int REFUSED = 2;

Bytes fromHex(const std::string &hex)
{
    Bytes b;
    for (size_t i = 0; i < hex.size(); i += 2)
        b.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return b;
}

const Bytes KEY = fromHex("0123456789abcdeffedcba9876543210");

TEST(Sm4Standard, RoundKeysAndOneBlock)
{
    const uint32_t expected[32] = {
        0xf12186f9, 0x41662b61, 0x5a6ab19a, 0x7ba92077, 0x367360f4, 0x776a0c61, 0xb6bb89b3,
        0x24763151, 0xa520307c, 0xb7584dbd, 0xc30753ed, 0x7ee55b57, 0x6988608c, 0x30d895b7,
        0x44ba14af, 0x104495a1, 0xd120b428, 0x73b55fa3, 0xcc874966, 0x92244439, 0xe89e641f,
        0x98ca015a, 0xc7159060, 0x99e1fd2e, 0xb79bd80c, 0x1d2115b0, 0x0e228aeb, 0xf1780c81,
        0x428d3654, 0x62293496, 0x01cf72e5, 0x9124a012};
    uint32_t rk[32];
    sm4_key_exp(KEY.data(), rk);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(rk[i], expected[i]) << "rk[" << i << "]";

    Bytes cipher(16), plain(16);
    ASSERT_EQ(sm4_encrypt(KEY.data(), KEY.data(), 16, cipher.data()), 0);
    EXPECT_EQ(cipher, fromHex("681edf34d206965e86b3e94f536e4246"));
    ASSERT_EQ(sm4_decrypt(cipher.data(), KEY.data(), 16, plain.data()), 0);
    EXPECT_EQ(plain, KEY);
}

TEST(Sm4Standard, MillionTimesAndBack)
{
    uint32_t rk[32];
    sm4_key_exp(KEY.data(), rk);
    Bytes block = KEY;
    for (int i = 0; i < 1000000; i++)
        sm4_encrypt_rk(block.data(), rk, block.data());
    EXPECT_EQ(block, fromHex("595298c7c6fd271f0402f804c33d3f66"));
    for (int i = 0; i < 1000000; i++)
        sm4_decrypt_rk(block.data(), rk, block.data());
    EXPECT_EQ(block, KEY);
}

// Encrypts with OpenSSL, PKCS#7 padding on; no iv means ECB.
Bytes openssl(const Bytes &key, const Bytes &iv, const unsigned char *in, int inlen)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(inlen + 16);
    int n = 0, m = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, iv.empty() ? EVP_sm4_ecb() : EVP_sm4_cbc(), nullptr,
                                 key.data(), iv.empty() ? nullptr : iv.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, in, inlen), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + n, &m), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(n + m);
    return out;
}

int encrypt(const Bytes &key, const Bytes &iv, const unsigned char *in, int inlen,
            unsigned char *out)
{
    return iv.empty() ? sm4_ecb_encrypt(in, inlen, out, key.data(), 16)
                      : sm4_cbc_encrypt(in, inlen, out, key.data(), 16, iv.data());
}

int decrypt(const Bytes &key, const Bytes &iv, const unsigned char *in, int inlen,
            unsigned char *out, int *outlen)
{
    return iv.empty() ? sm4_ecb_decrypt(in, inlen, out, outlen, key.data(), 16)
                      : sm4_cbc_decrypt(in, inlen, out, outlen, key.data(), 16, iv.data());
}

class Sm4Modes : public ::testing::TestWithParam<bool> {
protected:
    std::mt19937 rng{32907};
    Bytes random(size_t n)
    {
        Bytes b(n);
        for (auto &x : b)
            x = rng();
        return b;
    }
    Bytes key = random(16);
    Bytes iv = GetParam() ? random(16) : Bytes();
};

TEST_P(Sm4Modes, EveryLengthUpTo100MatchesOpenSsl)
{
    const Bytes plain = random(100);
    for (int len = 0; len <= 100; len++) {
        SCOPED_TRACE("inlen " + std::to_string(len));
        key = random(16);
        if (!iv.empty())
            iv = random(16);
        const Bytes ivBefore = iv;
        const Bytes expected = openssl(key, iv, plain.data(), len);
        ASSERT_EQ(expected.size(), size_t(len / 16 * 16 + 16));

        // Sixteen bytes beyond the promised output must stay as they were.
        Bytes cipher(expected.size() + 16, 0xa5);
        ASSERT_EQ(encrypt(key, iv, plain.data(), len, cipher.data()), 0);
        EXPECT_EQ(Bytes(cipher.begin(), cipher.begin() + expected.size()), expected);
        EXPECT_EQ(Bytes(cipher.begin() + expected.size(), cipher.end()), Bytes(16, 0xa5));

        Bytes back(expected.size());
        int outlen = -1;
        ASSERT_EQ(decrypt(key, iv, expected.data(), expected.size(), back.data(), &outlen), 0);
        ASSERT_EQ(outlen, len);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + len), Bytes(plain.begin(), plain.begin() + len));
        EXPECT_EQ(iv, ivBefore);
    }
}

TEST_P(Sm4Modes, InPlace)
{
    const Bytes plain = random(37);
    Bytes separate(48);
    ASSERT_EQ(encrypt(key, iv, plain.data(), 37, separate.data()), 0);

    Bytes buffer = plain;
    buffer.resize(48);
    ASSERT_EQ(encrypt(key, iv, buffer.data(), 37, buffer.data()), 0);
    EXPECT_EQ(buffer, separate);

    int outlen = -1;
    ASSERT_EQ(decrypt(key, iv, buffer.data(), 48, buffer.data(), &outlen), 0);
    ASSERT_EQ(outlen, 37);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 37), plain);
}

// A last plaintext byte above inlen would be a length below zero; every other
// value is taken as it is, 0 included, without looking at the padding.
TEST_P(Sm4Modes, LengthFromLastPlaintextByte)
{
    const struct { int inlen, last, outlen; } cases[] = {
        {16, 17, -1}, {32, 33, -1}, {32, 255, -1},
        {16, 16, 0}, {32, 32, 0}, {32, 0, 32}, {256, 200, 56},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("inlen " + std::to_string(c.inlen) + ", last " + std::to_string(c.last));
        Bytes plain = random(c.inlen);
        plain.back() = c.last;
        // Encryption of whole blocks starts with their unpadded ciphertext.
        const Bytes cipher = openssl(key, iv, plain.data(), c.inlen);

        Bytes out(c.inlen, 0xa5);
        int outlen = -7;
        int ret = decrypt(key, iv, cipher.data(), c.inlen, out.data(), &outlen);
        if (c.outlen < 0) {
            EXPECT_EQ(ret, REFUSED);
            EXPECT_EQ(out, Bytes(c.inlen, 0xa5));
            EXPECT_EQ(outlen, -7);
        } else {
            EXPECT_EQ(ret, 0);
            EXPECT_EQ(out, plain);
            EXPECT_EQ(outlen, c.outlen);
        }
    }
}

TEST_P(Sm4Modes, DecryptionRefusesPartialOrNoBlocks)
{
    for (int inlen : {0, 15, 17, 33, -16}) {
        SCOPED_TRACE("inlen " + std::to_string(inlen));
        // Exactly inlen bytes (at least one), so any read beyond them shows
        // under the address sanitizer.
        Bytes in = random(inlen > 0 ? inlen : 1);
        Bytes out(48, 0xa5);
        int outlen = -7;
        EXPECT_EQ(decrypt(key, iv, in.data(), inlen, out.data(), &outlen), REFUSED);
        EXPECT_EQ(out, Bytes(48, 0xa5));
        EXPECT_EQ(outlen, -7);
    }
}

INSTANTIATE_TEST_SUITE_P(Sm4, Sm4Modes, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Cbc" : "Ecb"; });

TEST(Sm4Refusal, KeyLength15Or17LeavesOutputAlone)
{
    const Bytes key(17, 7), iv(16, 9), in(32, 1);
    for (int keylen : {15, 17}) {
        SCOPED_TRACE("keylen " + std::to_string(keylen));
        Bytes out(48, 0xa5);
        int outlen = -7;
        EXPECT_EQ(sm4_encrypt(in.data(), key.data(), keylen, out.data()), 1);
        EXPECT_EQ(sm4_decrypt(in.data(), key.data(), keylen, out.data()), 1);
        EXPECT_EQ(sm4_ecb_encrypt(in.data(), 32, out.data(), key.data(), keylen), 1);
        EXPECT_EQ(sm4_ecb_decrypt(in.data(), 32, out.data(), &outlen, key.data(), keylen), 1);
        EXPECT_EQ(sm4_cbc_encrypt(in.data(), 32, out.data(), key.data(), keylen, iv.data()), 1);
        EXPECT_EQ(sm4_cbc_decrypt(in.data(), 32, out.data(), &outlen, key.data(), keylen,
                                  iv.data()), 1);
        EXPECT_EQ(out, Bytes(48, 0xa5));
        EXPECT_EQ(outlen, -7);
    }
}

TEST(Sm4Refusal, NullPointersAndNegativeLength)
{
    const unsigned char k[16] = {}, iv[16] = {}, in[32] = {};
    Bytes buffer(48, 0xa5);
    unsigned char *out = buffer.data();
    int n = -7;
    EXPECT_EQ(sm4_encrypt(nullptr, k, 16, out), REFUSED);
    EXPECT_EQ(sm4_encrypt(in, nullptr, 16, out), REFUSED);
    EXPECT_EQ(sm4_decrypt(in, k, 16, nullptr), REFUSED);

    EXPECT_EQ(sm4_ecb_encrypt(nullptr, 32, out, k, 16), REFUSED);
    EXPECT_EQ(sm4_ecb_encrypt(in, 32, nullptr, k, 16), REFUSED);
    EXPECT_EQ(sm4_ecb_encrypt(in, 32, out, nullptr, 16), REFUSED);
    EXPECT_EQ(sm4_ecb_encrypt(in, -1, out, k, 16), REFUSED);
    EXPECT_EQ(sm4_cbc_encrypt(in, 32, out, k, 16, nullptr), REFUSED);
    EXPECT_EQ(sm4_cbc_encrypt(nullptr, 32, out, k, 16, iv), REFUSED);
    EXPECT_EQ(sm4_cbc_encrypt(in, -16, out, k, 16, iv), REFUSED);

    EXPECT_EQ(sm4_ecb_decrypt(in, 32, out, nullptr, k, 16), REFUSED);
    EXPECT_EQ(sm4_ecb_decrypt(in, 32, nullptr, &n, k, 16), REFUSED);
    EXPECT_EQ(sm4_ecb_decrypt(in, 32, out, &n, nullptr, 16), REFUSED);
    EXPECT_EQ(sm4_cbc_decrypt(in, 32, out, &n, k, 16, nullptr), REFUSED);
    EXPECT_EQ(sm4_cbc_decrypt(nullptr, 32, out, &n, k, 16, iv), REFUSED);

    EXPECT_EQ(buffer, Bytes(48, 0xa5));
    EXPECT_EQ(n, -7);
}

} // namespace
