// zefcall pin [--show]: the USB-key PIN through quorrel.
#include "zefcall.h"

#include "pinkey.h"
#include "sm4.h"

#include <cstring>
#include <unistd.h>

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

int pinCommand(bool show)
{
    const std::string quorrel = findPrompt("quorrel");
    if (quorrel.empty())
        return fail("quorrel not found beside zefcall or on PATH");
    PromptRun run;
    if (!clearSegment(PIN_SEGMENT_KEY) || !runPrompt(quorrel, run))
        return Failed;

    unsigned char segment[PIN_SEGMENT_SIZE];
    switch (takeSegment(PIN_SEGMENT_KEY, segment, sizeof segment, run)) {
    case Taken::Absent:
        puts("No PIN received");
        return Nothing;
    case Taken::Failed:
        return Failed;
    case Taken::Copied:
        break;
    }
    char pin[PIN_BLOCK_SIZE + 1];
    const bool ok = pinFromSegment(segment, pin);
    explicit_bzero(segment, sizeof segment);
    if (!ok)
        return fail("the PIN segment does not decrypt under the shared key");

    const size_t length = strlen(pin);
    if (show) {
        // The PIN is Latin-1; the terminal wants UTF-8. Written past stdio,
        // whose buffer would keep a copy that is never wiped.
        char text[2 * PIN_BLOCK_SIZE + 1] = {};
        size_t n = 0;
        for (size_t i = 0; i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(pin[i]);
            if (c < 0x80) {
                text[n++] = static_cast<char>(c);
            } else {
                text[n++] = static_cast<char>(0xC0 | (c >> 6));
                text[n++] = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        text[n++] = '\n';
        fflush(stdout);
        const bool written = write(STDOUT_FILENO, text, n) == static_cast<ssize_t>(n);
        explicit_bzero(text, sizeof text);
        if (!written) {
            explicit_bzero(pin, sizeof pin);
            return fail("cannot print the PIN");
        }
    } else {
        printf("PIN received (%zu characters)\n", length);
    }
    explicit_bzero(pin, sizeof pin);
    return Done;
}
