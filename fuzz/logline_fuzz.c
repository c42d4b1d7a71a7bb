/* The log library's record line on arbitrary messages behind headers of
 * every length. */
#include "logline.h"
#include "fuzzcheck.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* Input: the header's length (its first byte, up to 31), then the message,
 * up to its first zero byte. */
int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char msg[8192];
    static char escaped[4 * sizeof(msg)];
    static char starts[4 * sizeof(msg) + 1]; /* where a character or an escape begins */
    char line[ZEF_LOG_LINE_SIZE];
    size_t head, len, n = 0, i;

    if (size < 1 || size > sizeof(msg))
        return 0;
    head = data[0] % 32;
    memcpy(msg, data + 1, size - 1);
    msg[size - 1] = '\0';
    memset(line, 0, sizeof(line));
    memset(line, 'h', head);

    /* The message as it reads in full: each control character as \xNN. */
    for (i = 0; msg[i]; i++) {
        const unsigned char c = (unsigned char)msg[i];
        memset(starts + n, 0, 4);
        starts[n] = (c & 0xc0) != 0x80;
        if (c < 0x20 || c == 0x7f)
            n += (size_t)snprintf(escaped + n, 5, "\\x%02x", c);
        else
            escaped[n++] = (char)c;
    }

    len = zef_log_line(line, head, msg);
    /* One line within the record: a line feed at its end and no other
     * control character before it. */
    check(len > head && len <= ZEF_LOG_LINE_MAX && line[len - 1] == '\n');
    for (i = 0; i < len - 1; i++)
        check((unsigned char)line[i] >= 0x20 && line[i] != 0x7f);
    if (head + n + 1 <= ZEF_LOG_LINE_MAX) {
        /* What fits is written whole. */
        check(len == head + n + 1 && memcmp(line + head, escaped, n) == 0);
    } else {
        /* The rest is cut before a character or an escape, and marked. */
        const size_t kept = len - 1 - 3 - head;
        check(len >= head + 4 && memcmp(line + len - 4, "\xe2\x80\xa6", 3) == 0);
        check(kept < n && memcmp(line + head, escaped, kept) == 0 && (kept == 0 || starts[kept]));
    }
    return 0;
}
