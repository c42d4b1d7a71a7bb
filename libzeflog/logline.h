/* The record line of libzeflog, apart from the file it is appended to, so
 * that it can be driven with any message. Internal: the library does not
 * export it. */
#ifndef ZEF_LOGLINE_H
#define ZEF_LOGLINE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The record buffer, and the longest line it holds, line feed included. */
#define ZEF_LOG_LINE_SIZE 4096
#define ZEF_LOG_LINE_MAX 4094

/* line holds len bytes of header (fewer than ZEF_LOG_LINE_MAX - 4); appends
 * msg and the line feed and returns the line's length, at most
 * ZEF_LOG_LINE_MAX. Every control character of msg is written as \xNN, so
 * that no message ends its record's line or begins another; a message too
 * long for the line is cut at a character's start and ends in "…". The
 * line is not terminated: its length is returned. */
size_t zef_log_line(char *line, size_t len, const char *msg);

#ifdef __cplusplus
}
#endif

#endif
