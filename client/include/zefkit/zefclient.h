/* libzefclient: the calling service's side of the kit's prompts.
 *
 * Each call starts one prompt as a child process, waits for it to end and
 * returns what the user chose. The library writes the chooser's files,
 * removes leftovers, takes a result segment only from the prompt it started,
 * decrypts the PIN under the key the kit was built with, starts the prompts
 * as the desktop user in a clean process (a session of its own, none of the
 * caller's descriptors, signal settings or keys) with a small environment
 * of their own, and never
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
    /* The user the prompts run as. Default, for a caller that runs as
     * root, in this order:
     *   1. the owner of $HOME, when that is not root;
     *   2. when $HOME is root's or unset: the user of the logind session on
     *      the display (display, else $DISPLAY), else of the active session
     *      on seat0; their prompts get their own home as HOME (the
     *      chooser's files go there) and, when no display is known, the
     *      session's display;
     *   3. no session found (or the library built without logind):
     *      ZEF_ERROR; name the user.
     * A prompt runs as root only when that user is root or root is named.
     * Any other caller starts them as itself, the only user it may name. */
    const char *user;
    /* The X display. Default: $DISPLAY, else the session's (see user). */
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

/* The end of what the prompt of this thread's last call printed on its
 * standard output and error (at most 4 KiB, whole lines, control
 * characters shown as '?'): the prompts' diagnostics. A prompt that ended
 * without an answer adds its last line to zef_last_error(). Valid until
 * this thread's next call. */
const char *zef_last_output(void);

#ifdef __cplusplus
}
#endif

#endif
