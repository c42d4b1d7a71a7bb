/* Public interface of libzeflog, the calling service's log library.
 *
 * Call zef_log_open once before any thread writes, zef_write_log from any
 * thread, and zef_log_close after the last write. Whether a record is kept
 * is decided at every call by the flag files in the log directory; nothing
 * is ever reported back to the caller. */
#ifndef ZEFLOG_H
#define ZEFLOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Levels from the most to the least severe; any other value is accepted
 * and written with a blank tag. */
enum {
    ZEF_LOG_CRTI = 0,
    ZEF_LOG_ERROR = 1,
    ZEF_LOG_WARNING = 2,
    ZEF_LOG_NOTICE = 3,
    ZEF_LOG_INFO = 4,
    ZEF_LOG_DEBUG = 5,
    ZEF_LOG_NUM = 6
};

void zef_log_open(void);
void zef_log_close(void);
/* msg is a finished text, never used as a format, written on one line of
 * at most 4094 bytes: control characters as \xNN, a longer record cut to
 * fit and ended with "…". with_header nonzero puts the level tag and the
 * local time before it. */
void zef_write_log(unsigned int level, int with_header, const char *msg);

#ifdef __cplusplus
}
#endif

#endif
