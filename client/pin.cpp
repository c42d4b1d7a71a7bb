// The USB-key PIN through quorrel: its answer decrypted and checked.
#include "pin.h"

#include "error.h"
#include "pinkey.h"
#include "sm4.h"

#include <cstring>

namespace {

// The Latin-1 PIN in UTF-8 into out, which has ZEF_PIN_MAX bytes: two
// for each of at most 32 characters, and the NUL.
void toUtf8(const char *latin1, char *out)
{
    size_t n = 0;
    for (const char *c = latin1; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x80) {
            out[n++] = static_cast<char>(byte);
        } else {
            out[n++] = static_cast<char>(0xC0 | (byte >> 6));
            out[n++] = static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    out[n] = '\0';
}

// What the PIN prompt lets a user type: 6 to 32 Latin-1 characters, none a
// control character. Anything else came from a prompt that was tampered
// with, and would reach the USB key as a wrong try against a key that locks.
bool typable(const char *pin)
{
    const size_t length = strlen(pin);
    for (const char *c = pin; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0))
            return false;
    }
    return length >= 6 && length <= PIN_BLOCK_SIZE;
}

static_assert(ZEF_PIN_MAX == 2 * PIN_BLOCK_SIZE + 1, "every PIN fits ZEF_PIN_MAX bytes");

}  // namespace

std::string refusePinBuffer(const Answer &answer)
{
    // A buffer that may be too small for the PIN the user types is refused,
    // whatever is typed, so that no typed PIN is thrown away.
    if (answer.text && answer.size >= ZEF_PIN_MAX)
        return {};
    return "a PIN buffer needs ZEF_PIN_MAX (" + std::to_string(ZEF_PIN_MAX) + ") bytes, not " +
           std::to_string(answer.text ? answer.size : 0);
}

int decodePin(const std::string &handed, const Request &, const Answer &answer)
{
    if (handed.empty())
        return ZEF_CANCELLED;
    unsigned char block[PIN_SEGMENT_SIZE];
    memcpy(block, handed.data(), sizeof block);
    char pin[PIN_BLOCK_SIZE + 1];
    const bool ok = decryptPin(block, pin);
    explicit_bzero(block, sizeof block);
    if (!ok)
        return fail(ZEF_E_PROMPT, "the PIN handed over does not decrypt under the shared key");
    if (!typable(pin)) {
        explicit_bzero(pin, sizeof pin);
        return fail(ZEF_E_PROMPT, "quorrel handed over no PIN that it lets a user type");
    }
    toUtf8(pin, answer.text);
    explicit_bzero(pin, sizeof pin);
    return ZEF_CHOSEN;
}

bool decryptPin(const unsigned char (&handed)[PIN_SEGMENT_SIZE], char (&pin)[PIN_BLOCK_SIZE + 1])
{
    unsigned char plain[PIN_SEGMENT_SIZE] = {};
    int length = 0;
    bool ok = sm4_ecb_decrypt(handed, sizeof handed, plain, &length, PIN_KEY,
                              sizeof PIN_KEY) == 0 &&
              length == PIN_BLOCK_SIZE;
    // Under a wrong key the last byte alone would still pass one time in
    // 256: the whole padding block must be there.
    for (size_t i = PIN_BLOCK_SIZE; ok && i < sizeof plain; ++i)
        ok = plain[i] == sizeof plain - PIN_BLOCK_SIZE;

    memset(pin, 0, sizeof pin);
    if (ok)
        memcpy(pin, plain, strnlen(reinterpret_cast<const char *>(plain), PIN_BLOCK_SIZE));
    explicit_bzero(plain, sizeof plain);
    return ok;
}
