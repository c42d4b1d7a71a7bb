// Segment 18945 made and read as the PIN prompt and the calling service do,
// with OpenSSL's SM4 in place of ours so that the two cannot share a fault.
#pragma once

#include "pinkey.h"

#include <openssl/evp.h>

#include <string>

// The segment decrypted under the shared key, the padding block kept.
inline std::string decryptPin(const std::string &segment)
{
    std::string plain(segment.size(), '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = EVP_DecryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, PIN_KEY, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(plain.data()), &n,
                                reinterpret_cast<const unsigned char *>(segment.data()),
                                static_cast<int>(segment.size())) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? plain.substr(0, n) : std::string();
}

// The segment that the prompt leaves for plain (whole blocks, no padding
// added), under key.
inline std::string encryptPin(const std::string &plain, const unsigned char *key = PIN_KEY)
{
    std::string out(plain.size(), '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n,
                      reinterpret_cast<const unsigned char *>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// The 32-byte block of the PIN's Latin-1 bytes followed by the padding block.
inline std::string pinPlaintext(const std::string &latin1)
{
    return latin1 + std::string(32 - latin1.size(), '\0') + std::string(16, '\x10');
}
