// SM4 block cipher (GB/T 32907-2016): 128-bit blocks and key, 32 rounds.
// Buffer functions pad with PKCS#7 and return 0 when done, 1 when keylen is
// not 16, and another nonzero value when the arguments are refused.
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
