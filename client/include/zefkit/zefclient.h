/* libzefclient: the calling service's side of the kit's prompts.
 *
 * Each call starts one prompt as a child process, waits for it to end and
 * returns what the user chose. The prompt and the library exchange the
 * inputs and the result over descriptors of the call's own that the prompt
 * inherits (memfds named by ZEF_RESULT_FD, ZEF_CERT_COLUMN_FD and
 * ZEF_CERT_LIST_FD), never over the fixed segment keys or files in a home
 * folder, so that no other user can block, read, erase or plant an answer.
 * The library decrypts the PIN under the key the kit was built with,
 * starts the prompts as the desktop user in a clean process (a session of
 * its own, none of the caller's descriptors, signal settings or keys) with
 * a small environment of their own, through the very file it checked (see
 * prompt_dir), and never leaves a prompt behind: one that outlives its
 * timeout or is cancelled is killed, and one whose caller dies goes with
 * it.
 *
 * Each call comes in two forms: a blocking one (zef_ask_pin) and a
 * start/finish pair (zef_start_pin, zef_finish_pin) on a handle whose
 * descriptor becomes readable once the call has its outcome, for an event
 * loop; the blocking form is the pair run back to back. A start never
 * waits: each call has a thread of its own in the library, which does the
 * waiting.
 *
 * What is serialised: one prompt of a kind at a time for each prompt user
 * on the machine. A call holds its kind's turn among the threads of its
 * process, first come, first served in the order of the starts, then a
 * lock file of the kind in the prompt user's runtime folder (/run/user/UID,
 * else /tmp/zefkit-UID, opened and made with that user's rights; one that
 * is not theirs alone is not used), until its finish has taken the answer;
 * another call of the library (of this process or another) waits for it on
 * its own thread, within its own timeout. Not serialised: the
 * three kinds among themselves, which share nothing, and programs that
 * start the prompts without this library (an older service speaking the
 * protocol itself), which take no lock.
 *
 * Signals: the library needs none of the caller's. SIGCHLD may be ignored
 * or handled, even by a handler that reaps every child: the answer comes
 * through the result memfd that the prompt inherits, and the prompt's end
 * is known from its pidfd, without its exit status (a prompt reaped so
 * cannot be told to have crashed; its answer is taken as any other). Only
 * on a kernel without pidfds (before 5.3) must SIGCHLD be left to its
 * default and the library's children to the library.
 *
 * Timeouts: timeout_ms counts from the start of the call, waiting for the
 * kind's turn included, and ends it with ZEF_TIMEOUT, the prompt closed.
 * 0 is none; otherwise 1 to INT_MAX milliseconds. zefkit (Python, in
 * seconds) and zefcall --timeout (milliseconds) mean the same.
 */
#ifndef ZEFKIT_ZEFCLIENT_H
#define ZEFKIT_ZEFCLIENT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The result of every call. */
#define ZEF_CHOSEN 0    /* the user chose; the answer is filled in */
#define ZEF_CANCELLED 1 /* the user chose nothing, or the call was cancelled */
#define ZEF_ERROR 2     /* see zef_last_error() and zef_last_error_kind() */
#define ZEF_TIMEOUT 3   /* no answer within timeout_ms; the prompt is closed */

/* What went wrong, by zef_last_error_kind(). */
#define ZEF_E_NONE 0    /* the last call did not fail */
#define ZEF_E_INPUT 1   /* bad arguments or list: nothing was shown */
#define ZEF_E_DISPLAY 2 /* no usable display */
#define ZEF_E_USER 3    /* the prompt user cannot be found or become */
#define ZEF_E_PROMPT 4  /* the prompt is missing, crashed or handed nothing valid over */
#define ZEF_E_TIMEOUT 5 /* ZEF_TIMEOUT */
#define ZEF_E_SYSTEM 6  /* the system refused something (memory, files, segments) */

/* A buffer of this many bytes holds every PIN: 32 Latin-1 characters,
 * each at most 2 bytes in UTF-8, and the NUL. */
#define ZEF_PIN_MAX 65

/* Pass NULL for all defaults; a NULL or zero field takes its default. */
struct zef_options {
    /* The user the prompts run as. Default, for a caller that runs as
     * root, in this order:
     *   1. the owner of $HOME, when that is not root;
     *   2. when $HOME is root's or unset: the user of the logind session on
     *      the display (display, else $DISPLAY), else of the active session
     *      on seat0, and, when no display is known, the session's display;
     *   3. no session found (or the library built without logind):
     *      ZEF_ERROR; name the user.
     * A prompt runs as root only when that user is root or root is named.
     * Started by root, a prompt gets its own user's home as HOME (root's
     * for root), whatever our HOME is. Any other caller starts them as
     * itself, with its HOME, the only user it may name. */
    const char *user;
    /* The X display. Default: $DISPLAY, else the session's (see user). It
     * is opened once before the prompt starts, with the cookie that the
     * prompt gets, and that connection is kept until the call ends; one
     * that cannot be opened is ZEF_E_DISPLAY, with the server's reason in
     * zef_last_error() (nothing is printed). The cookie is the display's
     * entry in $XAUTHORITY; without XAUTHORITY (a root service as systemd
     * starts one), the entry in the prompt user's own file where their
     * session keeps it: the XAUTHORITY of their logind session on the
     * display, /run/user/UID/gdm/Xauthority, or .Xauthority in $HOME or
     * their home. Run as root where logind runs, only a user with a
     * session on the display gets its cookie. */
    const char *display;
    /* Milliseconds after which the prompt is closed and ZEF_TIMEOUT
     * returned, counted from the start of the call (waiting for another
     * call of the same kind included). Default 0: no limit. */
    int timeout_ms;
    /* The folder that holds tessary, quorrel and dirvane. Default: the bin/
     * folder of the installation that this library belongs to. The program,
     * its folder and every folder above it must belong to root or the
     * caller and be writable by nobody else (a root folder with the sticky
     * bit, such as /tmp, excepted); links are followed only from such
     * folders. Otherwise ZEF_E_PROMPT, with a line naming the path, and
     * nothing runs. */
    const char *prompt_dir;
    /* A few lines of plain text that the PIN prompt shows above its field:
     * who asks, or that the last PIN was wrong and how many tries are
     * left. Default: none, the prompt as it always is. Only the PIN
     * prompt shows it. */
    const char *message;
};

/* Lets the user choose one of the certificates in certificates_json:
 *   {"columns": [{"title": "Subject", "member": "DN"}, ...],
 *    "certificates": [{"DN": "CN=Alice", ...}, ...]}
 * Each column shows the member that "member" names in every certificate.
 * On ZEF_CHOSEN, *row is the 0-based index of the chosen certificate.
 * Limits, each ZEF_E_INPUT before any window appears: 1 to 99 columns,
 * each with a "title" and a "member" string; at least one certificate, each
 * an object that has every column's member (the names matched regardless of
 * case); each of the chooser's two lists at most 4 MiB once the list is
 * percent-encoded twice (about a third of that as plain ASCII text). A
 * member that is no string is shown as an empty cell. */
int zef_choose_certificate(const char *certificates_json, const struct zef_options *options,
                           int *row);

/* Asks for the USB-key PIN. On ZEF_CHOSEN, pin holds it NUL-terminated in
 * UTF-8 (6 to 32 Latin-1 characters, none a control character, at most
 * ZEF_PIN_MAX bytes with the NUL); wipe it once used. Anything else handed
 * over is ZEF_E_PROMPT, and nothing of it reaches the caller. A buffer smaller than ZEF_PIN_MAX is refused
 * (ZEF_E_INPUT) before the prompt is shown. */
int zef_ask_pin(char *pin, size_t size, const struct zef_options *options);

/* Lets the user choose a directory. On ZEF_CHOSEN, path holds it
 * NUL-terminated, in the locale's encoding, at most 1000 bytes or so (what
 * fits dirvane's 1024-byte result; a longer one comes as cancelled). A
 * buffer too small for the path is ZEF_ERROR, never a shortened path. */
int zef_choose_directory(char *path, size_t size, const struct zef_options *options);

/* The same calls in two halves, for a caller that waits in an event loop.
 * A start checks what it is given and returns at once: ZEF_CHOSEN with
 * *call set, the call started; ZEF_ERROR with *call NULL only for bad
 * input (ZEF_E_INPUT) or when the system refuses a thread or descriptor
 * (ZEF_E_SYSTEM). "Started" means that the call's own thread now finds
 * the user, waits for the kind's turn (within the timeout, which counts
 * from the start), checks the display and starts the prompt; a call
 * whose kind is busy shows its prompt once the calls before it are over.
 * Each finish returns what the blocking call returns, waits only if the
 * call has no outcome yet, and frees the call. A call's error (an unknown
 * user, no display, a timeout while it waited) belongs to its finish: it
 * is the finish that returns it, and zef_last_error() of the thread that
 * called the finish that tells it. */
struct zef_call;
int zef_start_certificate(const char *certificates_json, const struct zef_options *options,
                          struct zef_call **call);
int zef_start_pin(const struct zef_options *options, struct zef_call **call);
int zef_start_directory(const struct zef_options *options, struct zef_call **call);
/* Readable once the call has its outcome: its prompt has ended, or it
 * failed, timed out or was cancelled before its prompt started. It belongs
 * to the call; poll it, never read or close it. */
int zef_call_fd(const struct zef_call *call);
int zef_finish_certificate(struct zef_call *call, int *row);
int zef_finish_pin(struct zef_call *call, char *pin, size_t size);
int zef_finish_directory(struct zef_call *call, char *path, size_t size);
/* Ends the call at any stage: a call still waiting for its turn is over at
 * once and never shows its prompt; a running prompt is closed. The finish
 * then answers ZEF_CANCELLED, whatever the user did. Any thread may call
 * it, until the call's finish returns. */
void zef_cancel(struct zef_call *call);

/* What went wrong in this thread's last call that returned ZEF_ERROR or
 * ZEF_TIMEOUT: one line without a line feed, and its kind (ZEF_E_*).
 * Each call but these two, zef_call_fd and zef_cancel clears them first. */
const char *zef_last_error(void);
int zef_last_error_kind(void);

/* The end of what the prompt of this thread's last call printed on its
 * standard output and error (at most 4 KiB, whole lines, control
 * characters shown as '?'): the prompts' diagnostics. A prompt that ended
 * without an answer, or timed out, adds to zef_last_error() its last line
 * that is not one it prints in every run (quorrel's "ENOENT" at each
 * start, the toolkit's "QStandardPaths: ..."). A timeout's line says so:
 * "quorrel gave no answer within 1500 ms and was closed". Valid until this
 * thread's next call. */
const char *zef_last_output(void);

#ifdef __cplusplus
}
#endif

#endif
