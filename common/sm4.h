// SM4 block cipher (GB/T 32907-2016): 128-bit blocks and key, 32 rounds.
// No state between calls: every function that takes a key expands it anew.
//
// The int functions return 0 when done, 1 when keylen is not 16, and 2 when
// the arguments are refused: a null pointer, a negative inlen, and for the
// decryptions an inlen that is not a positive multiple of 16 or a last
// plaintext byte greater than inlen. On 1 and 2 nothing is written to out or
// through outlen. Pointers and lengths are checked before keylen; the void
// functions check nothing.
//
// The encryptions pad with PKCS#7 and always write 16 * (inlen / 16 + 1)
// bytes. The decryptions need room for inlen bytes and report inlen minus
// the last plaintext byte through outlen; the padding is not examined
// further, so a last byte of 0 reports inlen. out may equal in (the
// encryptions then need room for the extra block); partial overlap is not
// allowed. ivec is only read.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void sm4_key_exp(const unsigned char *key, uint32_t *rk);
void sm4_encrypt_rk(const unsigned char *in, const uint32_t *rk, unsigned char *out);
void sm4_decrypt_rk(const unsigned char *in, const uint32_t *rk, unsigned char *out);

int sm4_encrypt(const unsigned char *in, const unsigned char *key, int keylen, unsigned char *out);
int sm4_decrypt(const unsigned char *in, const unsigned char *key, int keylen, unsigned char *out);

int sm4_ecb_encrypt(const unsigned char *in, int inlen, unsigned char *out,
                    const unsigned char *key, int keylen);
int sm4_ecb_decrypt(const unsigned char *in, int inlen, unsigned char *out, int *outlen,
                    const unsigned char *key, int keylen);
int sm4_cbc_encrypt(const unsigned char *in, int inlen, unsigned char *out,
                    const unsigned char *key, int keylen, const unsigned char *ivec);
int sm4_cbc_decrypt(const unsigned char *in, int inlen, unsigned char *out, int *outlen,
                    const unsigned char *key, int keylen, const unsigned char *ivec);

#ifdef __cplusplus
}
#endif
