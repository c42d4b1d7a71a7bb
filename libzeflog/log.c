/* libzeflog: leveled, time-stamped lines appended to one log file, switched
 * by flag files at every call and rolled over every 30 days. */
#define _GNU_SOURCE
#include "zeflog.h"
#include "logline.h"
#include "logstamp.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* The tests and the benchmark build copies of the library that log into
 * their own build tree instead of the live directory. */
#ifndef ZEF_LOG_DIR
#define ZEF_LOG_DIR "/var/zeflog"
#endif

#define ZEF_LOG_FILE ZEF_LOG_DIR "/VantrelZEF.log"
#define ZEF_LOG_OLD_FILE ZEF_LOG_DIR "/VantrelZEF-old.log"
#define ZEF_LOG_DEBUG_FLAG ZEF_LOG_DIR "/zefdebugflag"
#define ZEF_LOG_ERR_FLAG ZEF_LOG_DIR "/zeferrflag"

/* A log period lasts 30 days; the log rolls over once more than this many
 * seconds have passed since the stamp. */
#define ZEF_LOG_PERIOD_LAST_SECOND 2591999LL

/* How long a record waits for the lock of the stamp file or of the log.
 * Anyone who can open the file can lock it, and for as long as they like. */
#define ZEF_LOCK_WAIT_NS 1000000000LL
#define ZEF_LOCK_PAUSE_NS 2000000L

/* Only the three functions of zeflog.h are visible to the loader. */
#define ZEF_EXPORT __attribute__((visibility("default")))

static int g_zef_log_inited;
static pthread_mutex_t g_zef_log_mtx;

static const char *const g_zef_level_tags[] = {
    "[CRTI]", "[ERROR]", "[WARNING]", "[NOTICE]", "[INFO]", "[DEBUG]", "[NUM]",
};

static void _zeflog_init_mutex(pthread_mutex_t *mtx)
{
    pthread_mutex_init(mtx, NULL);
}

static void _zeflog_lock(pthread_mutex_t *mtx)
{
    pthread_mutex_lock(mtx);
}

static void _zeflog_unlock(pthread_mutex_t *mtx)
{
    pthread_mutex_unlock(mtx);
}

static void _zeflog_destroy_mutex(pthread_mutex_t *mtx)
{
    pthread_mutex_destroy(mtx);
}

static const char *_get_level_str(unsigned int level)
{
    if (level <= ZEF_LOG_NUM)
        return g_zef_level_tags[level];
    return "[     ]";
}

static void _get_curr_time(int size, char *buf)
{
    time_t now = time(NULL);
    struct tm tm;

    /* The host's own threads may use localtime's shared result at any time. */
    localtime_r(&now, &tm);
    strftime(buf, size - 1, "%Y/%m/%d %H:%M:%S", &tm);
}

/* The stamp text counts once one line feed and then one carriage return
 * have been trimmed, and only when digits remain (or nothing). */
enum zef_stamp_action zef_stamp_action(const char *text, long long now)
{
    size_t len = strlen(text);
    size_t i;
    long long stamp;

    if (len > 0 && text[len - 1] == '\n')
        len--;
    if (len > 0 && text[len - 1] == '\r')
        len--;
    for (i = 0; i < len; i++) {
        if (!isdigit((unsigned char)text[i]))
            return ZEF_STAMP_KEEP;
    }
    /* More digits than a long long holds give its largest value, a stamp
     * far in the future. */
    stamp = strtoll(text, NULL, 10);
    if (stamp <= 0)
        return ZEF_STAMP_START;
    /* A stamp in the future is tested first: the difference to it could
     * overflow when the clock stands before the Epoch. */
    if (now < stamp || now - stamp <= ZEF_LOG_PERIOD_LAST_SECOND)
        return ZEF_STAMP_KEEP;
    return ZEF_STAMP_ROLL;
}

size_t zef_log_line(char *line, size_t len, const char *msg)
{
    static const char cut[] = "\xe2\x80\xa6"; /* … */
    const size_t room = ZEF_LOG_LINE_MAX - 1;  /* the line feed's byte stays free */
    size_t kept = len; /* where a cut would end the text, "…" after it */
    const unsigned char *p;

    for (p = (const unsigned char *)msg; *p; p++) {
        const int control = *p < 0x20 || *p == 0x7f;
        const size_t width = control ? 4 : 1;

        /* A cut falls before a character, never inside one or an escape. */
        if ((*p & 0xc0) != 0x80 && len + sizeof(cut) - 1 <= room)
            kept = len;
        if (len + width > room) {
            memcpy(line + kept, cut, sizeof(cut) - 1);
            len = kept + sizeof(cut) - 1;
            break;
        }
        if (control)
            snprintf(line + len, width + 1, "\\x%02x", *p);
        else
            line[len] = (char)*p;
        len += width;
    }
    line[len] = '\n';
    return len + 1;
}

static long long _zef_monotonic_ns(void)
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* Takes a file's lock, waiting for it a bounded time: another user's
 * process holding it must not stall the service. Returns 0 when the lock
 * could not be had. */
static int _zef_lock_file(int fd)
{
    const struct timespec pause = {0, ZEF_LOCK_PAUSE_NS};
    const long long deadline = _zef_monotonic_ns() + ZEF_LOCK_WAIT_NS;

    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || _zef_monotonic_ns() >= deadline)
            return 0;
        nanosleep(&pause, NULL);
    }
    return 1;
}

/* Opens the log for appending. Whoever may write into the log directory can
 * plant a name there: a symbolic or hard link to a file of the service's
 * user, which would be appended to and made writable by all, or a FIFO,
 * which would block the writer. So a final symbolic link is not followed,
 * the open does not block, and only a regular file with a single name is
 * written to. -1 when the log is anything else or cannot be opened. */
static int _zef_log_open_fd(void)
{
    struct stat st;
    int fd = open(ZEF_LOG_FILE,
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);

    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Appends the record whole or not at all. A write that a full disk cuts
 * short is taken back, so that no torn record stays and the next one starts
 * on a fresh line. Every writer, in whatever process, appends under the
 * log's lock, so the cut never takes another writer's record along; the
 * lock goes with the close. Returns the line to print, NULL when written. */
static const char *_zef_log_append(int fd, const char *line, size_t len)
{
    off_t start;
    ssize_t written;

    if (!_zef_lock_file(fd))
        return "flock fail";
    start = lseek(fd, 0, SEEK_END);
    if (start < 0)
        return "write fail";
    written = write(fd, line, len);
    if (written == (ssize_t)len)
        return NULL;
    if (written > 0 && ftruncate(fd, start) != 0)
        return "ftruncate fail";
    return "write fail";
}

/* Starts a new log once the period in the stamp file beside the executable
 * has run out. The stamp file is locked while it is read, the log renamed
 * and the stamp rewritten, so that of several processes finding the period
 * run out only the first rolls over; the others read the renewed stamp. */
static void _zef_log_rollback(void)
{
    char exe[256];
    char path[256];
    char text[128];
    char *slash;
    ssize_t len;
    int fd;
    int wfd;
    long long now;
    enum zef_stamp_action action;

    memset(exe, 0, sizeof(exe));
    memset(path, 0, sizeof(path));
    memset(text, 0, sizeof(text));

    len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (len < 0) {
        puts("_zef_log_rollback (readlink fail)");
        return;
    }
    /* A path that fills the buffer may have been cut, and a cut path names
     * some other file: the rollover is off then. */
    if (len == (ssize_t)sizeof(exe) - 1)
        return;
    slash = strrchr(exe, '/');
    if (slash)
        *slash = '\0';
    if (snprintf(path, sizeof(path) - 1, "%s/config/logmaxage", exe) >= (int)sizeof(path) - 1)
        return;

    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    /* Without the lock the rollover waits for a later record; this one is
     * written all the same. */
    if (!_zef_lock_file(fd) || read(fd, text, sizeof(text) - 1) < 0) {
        close(fd);
        return;
    }
    now = (long long)time(NULL);
    action = zef_stamp_action(text, now);
    if (action == ZEF_STAMP_KEEP) {
        close(fd);
        return;
    }

    /* A stamp that cannot be renewed would find the period run out at every
     * record and replace the old log each time: no rollover then. */
    wfd = open(path, O_WRONLY | O_CLOEXEC);
    if (wfd < 0) {
        close(fd);
        return;
    }
    /* The rename replaces the old log whole; what other processes append
     * meanwhile lands in one of the two files. A log that is missing leaves
     * the old log as it is, and the stamp is renewed all the same. */
    if (action == ZEF_STAMP_ROLL)
        rename(ZEF_LOG_FILE, ZEF_LOG_OLD_FILE);

    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text) - 1, "%lld", now);
    /* A failed rewrite is not reported: the next check reads what is there. */
    if (ftruncate(wfd, 0) == 0)
        write(wfd, text, strlen(text));
    close(wfd);
    close(fd);
}

ZEF_EXPORT void zef_log_open(void)
{
    if (g_zef_log_inited)
        return;
    _zeflog_init_mutex(&g_zef_log_mtx);
    g_zef_log_inited = 1;
    puts("zef_log_open finished ");
}

ZEF_EXPORT void zef_log_close(void)
{
    if (!g_zef_log_inited)
        return;
    _zeflog_destroy_mutex(&g_zef_log_mtx);
    g_zef_log_inited = 0;
    puts("zef_log_close finished ");
}

ZEF_EXPORT void zef_write_log(unsigned int level, int with_header, const char *msg)
{
    char curr_time[24];
    char line[ZEF_LOG_LINE_SIZE];
    const char *failure;
    size_t len = 0;
    int fd;

    memset(curr_time, 0, sizeof(curr_time));
    memset(line, 0, sizeof(line));

    if (!g_zef_log_inited) {
        puts("zef log not init ");
        return;
    }
    if (access(ZEF_LOG_DEBUG_FLAG, F_OK) != 0
        && !(level <= ZEF_LOG_ERROR && access(ZEF_LOG_ERR_FLAG, F_OK) == 0))
        return;

    _zeflog_lock(&g_zef_log_mtx);
    _zef_log_rollback();

    fd = _zef_log_open_fd();
    if (fd < 0) {
        _zeflog_unlock(&g_zef_log_mtx);
        puts("fopen fail");
        return;
    }
    /* Everyone may read and write the log, whoever created it. */
    fchmod(fd, 0777);

    if (with_header) {
        _get_curr_time(sizeof(curr_time), curr_time);
        len = (size_t)snprintf(line, sizeof(line) - 1, "%s %s ", _get_level_str(level), curr_time);
    }
    len = zef_log_line(line, len, msg ? msg : "");
    failure = _zef_log_append(fd, line, len);
    close(fd);

    _zeflog_unlock(&g_zef_log_mtx);
    if (failure)
        puts(failure);
}
