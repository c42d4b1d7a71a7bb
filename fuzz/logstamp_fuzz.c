/* The log library's rollover decision on arbitrary stamp-file bytes and
 * arbitrary times. */
#include "logstamp.h"
#include "fuzzcheck.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PERIOD 2592000LL

/* Input: two times (8 bytes each, the second taken as the later one), then
 * the stamp file's bytes, of which the library reads the first 127. */
int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    long long t1, t2, earlier, later;
    char text[128];
    char copy[128];
    char renewed[128];
    size_t len;
    enum zef_stamp_action first, second;

    if (size < 16)
        return 0;
    memcpy(&t1, data, 8);
    memcpy(&t2, data + 8, 8);
    earlier = t1 < t2 ? t1 : t2;
    later = t1 < t2 ? t2 : t1;
    memset(text, 0, sizeof(text));
    memcpy(text, data + 16, size - 16 < 127 ? size - 16 : 127);
    memcpy(copy, text, sizeof(text));

    /* Time only moves a check towards a rollover, never back; an empty or
     * zero stamp starts the period whenever it is read. */
    first = zef_stamp_action(text, earlier);
    second = zef_stamp_action(text, later);
    check(memcmp(copy, text, sizeof(text)) == 0);
    check((first == ZEF_STAMP_START) == (second == ZEF_STAMP_START));
    check(first != ZEF_STAMP_ROLL || second == ZEF_STAMP_ROLL);

    /* A line end written by another system changes nothing. */
    len = strlen(text);
    if (len > 0 && len <= 125 && text[len - 1] != '\n' && text[len - 1] != '\r') {
        memcpy(copy + len, "\r\n", 3);
        check(zef_stamp_action(copy, earlier) == first);
    }

    /* The stamp as a renewal writes it holds the rollover off for exactly
     * one period. */
    if (earlier > 0) {
        snprintf(renewed, sizeof(renewed) - 1, "%lld", earlier);
        check(zef_stamp_action(renewed, earlier) == ZEF_STAMP_KEEP);
        if (earlier <= INT64_MAX - PERIOD) {
            check(zef_stamp_action(renewed, earlier + PERIOD - 1) == ZEF_STAMP_KEEP);
            check(zef_stamp_action(renewed, earlier + PERIOD) == ZEF_STAMP_ROLL);
        }
    }
    return 0;
}
