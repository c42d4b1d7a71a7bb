// zefcall pin [--show]: the USB-key PIN through quorrel.
#include "zefcall.h"

#include <cstring>
#include <unistd.h>

int pinCommand(bool show)
{
    zef_options options;
    if (!promptOptions("quorrel", options))
        return Failed;
    // Room for every PIN, and the line feed.
    char pin[ZEF_PIN_MAX + 1];
    const int result = zef_ask_pin(pin, sizeof pin - 1, &options);
    if (result == ZEF_CANCELLED) {
        puts("No PIN received");
        return Nothing;
    }
    if (result != ZEF_CHOSEN)
        return failedCall(result);

    size_t length = strlen(pin);
    if (show) {
        // Written past stdio, whose buffer would keep a copy that is never
        // wiped.
        pin[length++] = '\n';
        fflush(stdout);
        const bool written = write(STDOUT_FILENO, pin, length) == static_cast<ssize_t>(length);
        explicit_bzero(pin, sizeof pin);
        return written ? Done : fail("cannot print the PIN");
    }
    // Characters, not the bytes of their UTF-8 form.
    size_t characters = 0;
    for (size_t i = 0; i < length; ++i)
        characters += (static_cast<unsigned char>(pin[i]) & 0xC0) != 0x80;
    explicit_bzero(pin, sizeof pin);
    printf("PIN received (%zu characters)\n", characters);
    return Done;
}
