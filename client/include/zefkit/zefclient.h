/* libzefclient: the calling service's side of the kit's prompts.
 *
 * Each call starts one prompt as a child process, waits for it to end and
 * returns what the user chose. The library writes the chooser's files,
 * removes leftovers, takes a result segment only from the prompt it started,
 * decrypts the PIN under the key the kit was built with, starts the prompts
 * as the desktop user with a small environment of their own, and never
 * leaves a prompt behind: one that outlives its timeout is killed, and one
 * whose caller dies goes with it.
 *
 * Calls may come from several threads; calls of the same kind wait for one
 * another, since each kind of prompt has fixed file names and segment keys.
 */
#ifndef ZEFKIT_ZEFCLIENT_H
#define ZEFKIT_ZEFCLIENT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The result of every call. */
#define ZEF_CHOSEN 0    /* the user chose; the answer is filled in */
#define ZEF_CANCELLED 1 /* the user chose nothing */
#define ZEF_ERROR 2     /* see zef_last_error() */
#define ZEF_TIMEOUT 3   /* no answer within timeout_ms; the prompt is closed */

/* Pass NULL for all defaults; a NULL or zero field takes its default. */
struct zef_options {
    /* The user the prompts run as. Default: a caller that runs as root
     * starts them as the owner of $HOME (as root only when that is root);
     * any other caller as itself, the only user it may name. */
    const char *user;
    /* The X display. Default: $DISPLAY. */
    const char *display;
    /* Milliseconds after which the prompt is closed and ZEF_TIMEOUT
     * returned, counted from the call (waiting for another call of the same
     * kind included). Default 0: no limit. */
    int timeout_ms;
    /* The folder that holds tessary, quorrel and dirvane. Default: the bin/
     * folder of the installation that this library belongs to. */
    const char *prompt_dir;
};

/* Lets the user choose one of the certificates in certificates_json:
 *   {"columns": [{"title": "Subject", "member": "DN"}, ...],
 *    "certificates": [{"DN": "CN=Alice", ...}, ...]}
 * Each column shows the member that "member" names in every certificate.
 * On ZEF_CHOSEN, *row is the 0-based index of the chosen certificate. */
int zef_choose_certificate(const char *certificates_json, const struct zef_options *options,
                           int *row);

/* Asks for the USB-key PIN. On ZEF_CHOSEN, pin holds it NUL-terminated in
 * UTF-8 (at most 64 bytes and the NUL); wipe it once used. A buffer too
 * small for the PIN is ZEF_ERROR, never a shortened PIN. */
int zef_ask_pin(char *pin, size_t size, const struct zef_options *options);

/* Lets the user choose a directory. On ZEF_CHOSEN, path holds it
 * NUL-terminated, in the locale's encoding. A buffer too small is
 * ZEF_ERROR. */
int zef_choose_directory(char *path, size_t size, const struct zef_options *options);

/* What went wrong in this thread's last call that returned ZEF_ERROR or
 * ZEF_TIMEOUT: one line without a line feed. Valid until this thread's next
 * call. */
const char *zef_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
