// The USB-key PIN through quorrel.
#include "client.h"

#include "pinkey.h"
#include "sm4.h"

#include <cstring>

namespace {

SegmentPrompt g_quorrel{"quorrel", PIN_SEGMENT_KEY, PIN_SEGMENT_SIZE, false, {}};

// The Latin-1 PIN in UTF-8 into out; false, with out all zero, when it does
// not fit.
bool toUtf8(const char *latin1, char *out, size_t size)
{
    size_t n = 0;
    for (const char *c = latin1; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (n + (byte < 0x80 ? 1 : 2) >= size) {
            explicit_bzero(out, size);
            return false;
        }
        if (byte < 0x80) {
            out[n++] = static_cast<char>(byte);
        } else {
            out[n++] = static_cast<char>(0xC0 | (byte >> 6));
            out[n++] = static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    out[n] = '\0';
    return true;
}

int askPin(char *out, size_t size, const zef_options *options)
{
    unsigned char segment[PIN_SEGMENT_SIZE];
    const int asked = askSegmentPrompt(g_quorrel, options, out, size, segment);
    if (asked != HANDED_OVER)
        return asked;
    char pin[PIN_BLOCK_SIZE + 1];
    bool ok = pinFromSegment(segment, pin);
    explicit_bzero(segment, sizeof segment);
    if (!ok)
        return fail("the PIN segment does not decrypt under the shared key");
    ok = toUtf8(pin, out, size);
    explicit_bzero(pin, sizeof pin);
    if (!ok)
        return fail("the PIN does not fit a buffer of " + std::to_string(size) + " bytes");
    return ZEF_CHOSEN;
}

}  // namespace

bool pinFromSegment(const unsigned char (&segment)[PIN_SEGMENT_SIZE],
                    char (&pin)[PIN_BLOCK_SIZE + 1])
{
    unsigned char plain[PIN_SEGMENT_SIZE] = {};
    int length = 0;
    bool ok = sm4_ecb_decrypt(segment, sizeof segment, plain, &length, PIN_KEY,
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

extern "C" int zef_ask_pin(char *pin, size_t size, const zef_options *options)
{
    return guarded([&] { return askPin(pin, size, options); });
}
