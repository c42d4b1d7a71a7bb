/* A GLib daemon that asks the desktop user for the USB key's PIN through
 * libzefclient without ever blocking its main loop.
 *
 *     glib-daemon [COUNT [USER]]
 *
 * It asks COUNT times at once (default 1), as a service's clients might;
 * the library shows one PIN prompt at a time and the others wait on their
 * own threads. Each call's descriptor is watched with g_unix_fd_add. SIGUSR1
 * stands for the USB key pulled: every pending call is cancelled. SIGTERM
 * does the same and stops the daemon. A heartbeat every 10 ms shows that the
 * loop stays free; its longest gap is printed at the end. USER names the
 * prompts' user; run as root without it, the library takes the user of the
 * active logind session, with their display and their X cookie. */
#include <zefkit/zefclient.h>

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static GMainLoop *g_loop;
static struct zef_call *g_calls[16];
static int g_pending;
static gint64 g_last_beat, g_longest_gap;

static gboolean beat(gpointer unused)
{
    (void)unused;
    const gint64 now = g_get_monotonic_time();
    if (now - g_last_beat > g_longest_gap)
        g_longest_gap = now - g_last_beat;
    g_last_beat = now;
    return G_SOURCE_CONTINUE;
}

/* A call has its outcome: finish it, which does not wait now. */
static gboolean answered(gint fd, GIOCondition condition, gpointer data)
{
    struct zef_call **call = data;
    (void)fd;
    (void)condition;
    char pin[ZEF_PIN_MAX];
    const int result = zef_finish_pin(*call, pin, sizeof pin);
    *call = NULL;
    if (result == ZEF_CHOSEN)
        printf("PIN of %zu bytes\n", strlen(pin)); /* here the daemon would log in to the key */
    else if (result == ZEF_CANCELLED)
        printf("no PIN\n");
    else
        printf("error: %s\n", zef_last_error());
    fflush(stdout);
    explicit_bzero(pin, sizeof pin);
    if (--g_pending == 0)
        g_main_loop_quit(g_loop);
    return G_SOURCE_REMOVE;
}

static gboolean key_pulled(gpointer stop)
{
    for (size_t i = 0; i < G_N_ELEMENTS(g_calls); ++i) {
        if (g_calls[i])
            zef_cancel(g_calls[i]); /* their descriptors become readable */
    }
    if (stop)
        printf("stopping\n");
    return G_SOURCE_CONTINUE;
}

int main(int argc, char **argv)
{
    const int count = argc > 1 ? atoi(argv[1]) : 1;
    if (count < 1 || count > (int)G_N_ELEMENTS(g_calls)) {
        fprintf(stderr, "usage: glib-daemon [COUNT (1 to 16) [USER]]\n");
        return 2;
    }
    g_loop = g_main_loop_new(NULL, FALSE);
    struct zef_options options = {0};
    options.user = argc > 2 ? argv[2] : NULL;
    options.message = "The example daemon asks for your USB key's PIN";
    for (int i = 0; i < count; ++i) {
        /* Returns at once; ZEF_ERROR here is bad input only. */
        if (zef_start_pin(&options, &g_calls[i]) != ZEF_CHOSEN) {
            fprintf(stderr, "cannot ask: %s\n", zef_last_error());
            return 2;
        }
        g_unix_fd_add(zef_call_fd(g_calls[i]), G_IO_IN, answered, &g_calls[i]);
        ++g_pending;
    }
    g_unix_signal_add(SIGUSR1, key_pulled, NULL);
    g_unix_signal_add(SIGTERM, key_pulled, g_loop);
    g_last_beat = g_get_monotonic_time();
    g_timeout_add(10, beat, NULL);
    g_main_loop_run(g_loop);
    printf("longest heartbeat gap: %" G_GINT64_FORMAT " ms\n", g_longest_gap / 1000);
    g_main_loop_unref(g_loop);
    return 0;
}
