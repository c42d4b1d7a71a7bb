/* The rollover decision of libzeflog, apart from the files it is made from,
 * so that it can be driven with any stamp text and time. Internal: the
 * library does not export it. */
#ifndef ZEF_LOGSTAMP_H
#define ZEF_LOGSTAMP_H

#ifdef __cplusplus
extern "C" {
#endif

/* What one check does. */
enum zef_stamp_action {
    ZEF_STAMP_KEEP,  /* not a stamp, or the period still runs: touch nothing */
    ZEF_STAMP_START, /* no period yet: write the present time, leave the log */
    ZEF_STAMP_ROLL   /* the period ran out: roll the log over, renew the stamp */
};

/* text is what was read from the stamp file, up to its first zero byte;
 * now is the present time in seconds since the Epoch. */
enum zef_stamp_action zef_stamp_action(const char *text, long long now);

#ifdef __cplusplus
}
#endif

#endif
