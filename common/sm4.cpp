// SM4 with a byte-wide S-box and nothing but the caller's buffers and the
// stack: the round keys are expanded anew on every key-taking call and wiped
// before it returns.
#include "sm4.h"

#include <string.h>

static const uint8_t Sbox[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

static const uint32_t fk[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

static const uint32_t CK[32] = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279,
};

// Returned by the buffer and one-block functions for arguments they cannot
// work with (see sm4.h); 1 stays reserved for a key of the wrong length.
static const int REFUSED = 2;

// Wipes a stack buffer that held round keys or plaintext on every way out of
// the scope; explicit_bzero is never optimised away as a dead store.
class Wipe {
public:
    Wipe(void *p, size_t n) : p(p), n(n) {}
    ~Wipe() { explicit_bzero(p, n); }

private:
    void *p;
    size_t n;
};

static inline uint32_t load_be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static inline void store_be32(unsigned char *p, uint32_t v)
{
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}

// n is always a constant from 2 to 24, so this compiles to one rotate.
static inline uint32_t rotl(uint32_t x, int n)
{
    return x << n | x >> (32 - n);
}

// The S-box on each byte of the word.
static inline uint32_t tau(uint32_t x)
{
    return (uint32_t)Sbox[x >> 24] << 24 | (uint32_t)Sbox[x >> 16 & 0xff] << 16 |
           (uint32_t)Sbox[x >> 8 & 0xff] << 8 | Sbox[x & 0xff];
}

// The round transform T.
static inline uint32_t t1(uint32_t x)
{
    uint32_t b = tau(x);
    return b ^ rotl(b, 2) ^ rotl(b, 10) ^ rotl(b, 18) ^ rotl(b, 24);
}

// The key schedule's transform T'.
static inline uint32_t t2(uint32_t x)
{
    uint32_t b = tau(x);
    return b ^ rotl(b, 13) ^ rotl(b, 23);
}

void sm4_key_exp(const unsigned char *key, uint32_t *rk)
{
    uint32_t k0 = load_be32(key) ^ fk[0];
    uint32_t k1 = load_be32(key + 4) ^ fk[1];
    uint32_t k2 = load_be32(key + 8) ^ fk[2];
    uint32_t k3 = load_be32(key + 12) ^ fk[3];

    // Four rounds per pass, so that the newest word always replaces the oldest.
    for (int i = 0; i < 32; i += 4) {
        rk[i] = k0 ^= t2(k1 ^ k2 ^ k3 ^ CK[i]);
        rk[i + 1] = k1 ^= t2(k2 ^ k3 ^ k0 ^ CK[i + 1]);
        rk[i + 2] = k2 ^= t2(k3 ^ k0 ^ k1 ^ CK[i + 2]);
        rk[i + 3] = k3 ^= t2(k0 ^ k1 ^ k2 ^ CK[i + 3]);
    }
}

// Decryption is encryption with the round keys taken from the last to the
// first; a template parameter so that each direction gets constant indices.
// The whole block is read before anything is written, so out may be in.
template <bool decrypt>
static inline void crypt_block(const unsigned char *in, const uint32_t *rk, unsigned char *out)
{
    uint32_t x0 = load_be32(in);
    uint32_t x1 = load_be32(in + 4);
    uint32_t x2 = load_be32(in + 8);
    uint32_t x3 = load_be32(in + 12);

    for (int i = 0; i < 32; i += 4) {
        x0 ^= t1(x1 ^ x2 ^ x3 ^ rk[decrypt ? 31 - i : i]);
        x1 ^= t1(x2 ^ x3 ^ x0 ^ rk[decrypt ? 30 - i : i + 1]);
        x2 ^= t1(x3 ^ x0 ^ x1 ^ rk[decrypt ? 29 - i : i + 2]);
        x3 ^= t1(x0 ^ x1 ^ x2 ^ rk[decrypt ? 28 - i : i + 3]);
    }

    store_be32(out, x3);
    store_be32(out + 4, x2);
    store_be32(out + 8, x1);
    store_be32(out + 12, x0);
}

void sm4_encrypt_rk(const unsigned char *in, const uint32_t *rk, unsigned char *out)
{
    crypt_block<false>(in, rk, out);
}

void sm4_decrypt_rk(const unsigned char *in, const uint32_t *rk, unsigned char *out)
{
    crypt_block<true>(in, rk, out);
}

// Every key-taking function starts here: arguments it cannot work with are
// refused first, then a key of the wrong length; otherwise the round keys
// are made. Returns 0 to go ahead, else the code to return.
static int checked_key_exp(bool usable, const unsigned char *key, int keylen, uint32_t *rk)
{
    if (!usable)
        return REFUSED;
    if (keylen != 16)
        return 1;
    sm4_key_exp(key, rk);
    return 0;
}

int sm4_encrypt(const unsigned char *in, const unsigned char *key, int keylen, unsigned char *out)
{
    uint32_t rk[32];
    Wipe wipe_rk(rk, sizeof rk);
    if (int ret = checked_key_exp(in && key && out, key, keylen, rk))
        return ret;
    crypt_block<false>(in, rk, out);
    return 0;
}

int sm4_decrypt(const unsigned char *in, const unsigned char *key, int keylen, unsigned char *out)
{
    uint32_t rk[32];
    Wipe wipe_rk(rk, sizeof rk);
    if (int ret = checked_key_exp(in && key && out, key, keylen, rk))
        return ret;
    crypt_block<true>(in, rk, out);
    return 0;
}

static inline void xor_block(unsigned char *v, const unsigned char *b)
{
    for (int j = 0; j < 16; j++)
        v[j] ^= b[j];
}

// The last block of every encryption: the r < 16 input bytes that did not
// fill a block, then 16 - r bytes of value 16 - r.
static void pad_block(const unsigned char *tail, int r, unsigned char *block)
{
    memcpy(block, tail, r);
    memset(block + r, 16 - r, 16 - r);
}

int sm4_ecb_encrypt(const unsigned char *in, int inlen, unsigned char *out,
                    const unsigned char *key, int keylen)
{
    uint32_t rk[32];
    Wipe wipe_rk(rk, sizeof rk);
    if (int ret = checked_key_exp(in && out && key && inlen >= 0, key, keylen, rk))
        return ret;

    size_t whole = inlen - inlen % 16;
    for (size_t k = 0; k < whole; k += 16)
        crypt_block<false>(in + k, rk, out + k);
    unsigned char block[16];
    Wipe wipe_block(block, sizeof block);
    pad_block(in + whole, inlen % 16, block);
    crypt_block<false>(block, rk, out + whole);
    return 0;
}

int sm4_cbc_encrypt(const unsigned char *in, int inlen, unsigned char *out,
                    const unsigned char *key, int keylen, const unsigned char *ivec)
{
    uint32_t rk[32];
    Wipe wipe_rk(rk, sizeof rk);
    if (int ret = checked_key_exp(in && out && key && ivec && inlen >= 0, key, keylen, rk))
        return ret;

    // The chaining value is a copy: the caller's ivec stays as it was.
    unsigned char v[16];
    Wipe wipe_v(v, sizeof v);
    memcpy(v, ivec, 16);
    size_t whole = inlen - inlen % 16;
    for (size_t k = 0; k < whole; k += 16) {
        xor_block(v, in + k);
        crypt_block<false>(v, rk, v);
        memcpy(out + k, v, 16);
    }
    unsigned char block[16];
    Wipe wipe_block(block, sizeof block);
    pad_block(in + whole, inlen % 16, block);
    xor_block(v, block);
    crypt_block<false>(v, rk, out + whole);
    return 0;
}

// Whole blocks only, and at least one: anything else would have the length
// taken from a byte that was never decrypted, or from before out.
static bool decryptable(const unsigned char *in, int inlen, const unsigned char *out,
                        const int *outlen, const unsigned char *key)
{
    return in && out && outlen && key && inlen > 0 && inlen % 16 == 0;
}

// Both decryptions work out the last plaintext block first and refuse a last
// byte above inlen (a length below zero) before anything reaches the caller.
// Every other value, 0 included, gives inlen minus that byte: the padding
// bytes themselves are not examined.

int sm4_ecb_decrypt(const unsigned char *in, int inlen, unsigned char *out, int *outlen,
                    const unsigned char *key, int keylen)
{
    uint32_t rk[32];
    Wipe wipe_rk(rk, sizeof rk);
    if (int ret = checked_key_exp(decryptable(in, inlen, out, outlen, key), key, keylen, rk))
        return ret;

    size_t last = inlen - 16;
    unsigned char block[16];
    Wipe wipe_block(block, sizeof block);
    crypt_block<true>(in + last, rk, block);
    if (block[15] > inlen)
        return REFUSED;

    for (size_t k = 0; k < last; k += 16)
        crypt_block<true>(in + k, rk, out + k);
    memcpy(out + last, block, 16);
    *outlen = inlen - block[15];
    return 0;
}

int sm4_cbc_decrypt(const unsigned char *in, int inlen, unsigned char *out, int *outlen,
                    const unsigned char *key, int keylen, const unsigned char *ivec)
{
    uint32_t rk[32];
    Wipe wipe_rk(rk, sizeof rk);
    if (int ret = checked_key_exp(decryptable(in, inlen, out, outlen, key) && ivec, key,
                                  keylen, rk))
        return ret;

    size_t last = inlen - 16;
    unsigned char block[16];
    Wipe wipe_block(block, sizeof block);
    crypt_block<true>(in + last, rk, block);
    xor_block(block, last ? in + last - 16 : ivec);
    if (block[15] > inlen)
        return REFUSED;

    // Each ciphertext block is kept until it has chained into the next, so
    // that out may also be in.
    unsigned char v[16], c[16];
    Wipe wipe_v(v, sizeof v), wipe_c(c, sizeof c);
    memcpy(v, ivec, 16);
    for (size_t k = 0; k < last; k += 16) {
        memcpy(c, in + k, 16);
        crypt_block<true>(c, rk, out + k);
        xor_block(out + k, v);
        memcpy(v, c, 16);
    }
    memcpy(out + last, block, 16);
    *outlen = inlen - block[15];
    return 0;
}
