// SM4 decryption of arbitrary bytes in both modes, and every encryption
// decrypted again. Each buffer is allocated at exactly the size the caller
// must provide, so that a byte read or written past it is caught.
#include "sm4.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const unsigned char CANARY = 0xA5;
const int REFUSED = 2;

// ECB when iv is null.
int decrypt(const unsigned char *in, int inlen, unsigned char *out, int *outlen,
            const unsigned char *key, int keylen, const unsigned char *iv)
{
    return iv ? sm4_cbc_decrypt(in, inlen, out, outlen, key, keylen, iv)
              : sm4_ecb_decrypt(in, inlen, out, outlen, key, keylen);
}

int encrypt(const unsigned char *in, int inlen, unsigned char *out, const unsigned char *key,
            const unsigned char *iv)
{
    return iv ? sm4_cbc_encrypt(in, inlen, out, key, 16, iv)
              : sm4_ecb_encrypt(in, inlen, out, key, 16);
}

// Refused or decrypted: a refusal leaves out and outlen alone, a decryption
// reports a length within the input.
void decryptArbitrary(const Bytes &cipher, const unsigned char *key, int keylen,
                      const unsigned char *iv)
{
    const int inlen = static_cast<int>(cipher.size());
    Bytes out(cipher.size(), CANARY);
    int outlen = -1;
    const int ret = decrypt(cipher.data(), inlen, out.data(), &outlen, key, keylen, iv);
    if (ret != 0) {
        check(ret == REFUSED || (ret == 1 && keylen != 16));
        check(outlen == -1);
        check(out == Bytes(cipher.size(), CANARY));
        return;
    }
    check(keylen == 16 && inlen > 0 && inlen % 16 == 0);
    check(outlen >= 0 && outlen <= inlen);
}

void roundTrip(const Bytes &plain, const unsigned char *key, const unsigned char *iv)
{
    const int inlen = static_cast<int>(plain.size());
    const size_t padded = 16 * (plain.size() / 16 + 1);

    // Exactly inlen bytes, and never null, even when there are none.
    std::unique_ptr<unsigned char[]> in(new unsigned char[plain.size()]);
    std::copy(plain.begin(), plain.end(), in.get());
    Bytes cipher(padded);
    check(encrypt(in.get(), inlen, cipher.data(), key, iv) == 0);
    Bytes back(padded);
    int outlen = -1;
    check(decrypt(cipher.data(), static_cast<int>(padded), back.data(), &outlen, key, 16, iv) == 0);
    check(outlen == inlen && std::equal(plain.begin(), plain.end(), back.begin()));

    // In place: the same buffer for input and output, room for the padding.
    Bytes inPlace(plain);
    inPlace.resize(padded);
    check(encrypt(inPlace.data(), inlen, inPlace.data(), key, iv) == 0);
    check(inPlace == cipher);
    check(decrypt(inPlace.data(), static_cast<int>(padded), inPlace.data(), &outlen, key, 16, iv) ==
          0);
    check(outlen == inlen && std::equal(plain.begin(), plain.end(), inPlace.begin()));
}

}  // namespace

// Input: one byte of options (bit 0: CBC; the rest picks the key length),
// the 16-byte key, the 16-byte iv, then the data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 33)
        return 0;
    const bool cbc = data[0] & 1;
    // Mostly the right length; now and then one that must be refused.
    const int keylen = (data[0] >> 1) < 120 ? 16 : (data[0] >> 1) - 112;
    const Bytes key(data + 1, data + 17);
    const Bytes iv(data + 17, data + 33);
    const Bytes rest(data + 33, data + size);
    const unsigned char *ivp = cbc ? iv.data() : nullptr;

    // A key of the wrong length gets a buffer of that length.
    const Bytes given(key.begin(), key.begin() + keylen);
    decryptArbitrary(rest, given.data(), keylen, ivp);
    roundTrip(rest, key.data(), ivp);
    return 0;
}
