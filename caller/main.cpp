// zefcall: the reference calling service of the kit, a small program for
// integrators to read and copy. Each command does what a service does with
// one prompt, through libzefclient.
#include "zefcall.h"

#include <climits>
#include <cstdlib>
#include <cstring>

static const char USAGE[] =
    "Usage: zefcall [--user NAME] [--timeout MS] [--message TEXT] [--verbose] COMMAND\n"
    "\n"
    "  cert FILE           let the user choose one of the certificates in FILE\n"
    "                      (tessary) and print it\n"
    "  pin [--show]        ask for the USB-key PIN (quorrel) and say that it came,\n"
    "                      or with --show print it\n"
    "  dir                 let the user choose a directory (dirvane) and print it\n"
    "  log LEVEL MESSAGE   write MESSAGE through the log library (libzeflog.so.1);\n"
    "                      LEVEL is crit, error, warning, notice, info, debug or\n"
    "                      0 to 5; the flag files in /var/zeflog decide whether\n"
    "                      it is kept\n"
    "  --help              show this text\n"
    "\n"
    "  --user NAME         start the prompts as the user NAME (root only). Run as\n"
    "                      root, zefcall starts them by default as the owner of\n"
    "                      HOME; when HOME is root's, as the user of the desktop\n"
    "                      session on the display (or the active one on seat0),\n"
    "                      and as root only when that user is root\n"
    "  --timeout MS        close a prompt that has no answer MS milliseconds (1 to\n"
    "                      2147483647) after the call started, waiting for\n"
    "                      another caller of the same prompt included\n"
    "  --message TEXT      show TEXT above the PIN field (who asks, or that the\n"
    "                      last PIN was wrong)\n"
    "  --verbose           print the prompt's last lines (its diagnostics) on\n"
    "                      standard error\n"
    "\n"
    "The prompts are looked for beside zefcall, then on PATH; the log library\n"
    "in the kit's library folder, then where the system keeps libraries.\n"
    "Exit status: 0 chosen or done, 1 nothing chosen, 2 error, 3 timed out.\n";

// Runs command with its args.
static int runCommand(const std::string &command, int args, char **arg)
{
    if (command == "--help" && args == 0) {
        fputs(USAGE, stdout);
        return Done;
    }
    if (command == "cert" && args == 1)
        return certCommand(arg[0]);
    if (command == "pin" && (args == 0 || (args == 1 && strcmp(arg[0], "--show") == 0)))
        return pinCommand(args == 1);
    if (command == "dir" && args == 0)
        return dirCommand();
    if (command == "log" && args == 2)
        return logCommand(arg[0], arg[1]);
    return fail(command.empty() ? "no command; see zefcall --help"
                                : "wrong arguments for \"" + command + "\"; see zefcall --help");
}

int main(int argc, char **argv)
{
    int first = 1;
    bool verbose = false;
    for (; first < argc; ++first) {
        const bool valued = first + 1 < argc;
        if (strcmp(argv[first], "--verbose") == 0) {
            verbose = true;
        } else if (valued && strcmp(argv[first], "--user") == 0) {
            g_options.user = argv[++first];
        } else if (valued && strcmp(argv[first], "--timeout") == 0) {
            const char *text = argv[++first];
            char *end = nullptr;
            const long ms = strtol(text, &end, 10);
            if (!*text || *end || ms < 1 || ms > INT_MAX)
                return fail("--timeout takes milliseconds from 1 to " + std::to_string(INT_MAX));
            g_options.timeout_ms = static_cast<int>(ms);
        } else if (valued && strcmp(argv[first], "--message") == 0) {
            g_options.message = argv[++first];
        } else {
            break;
        }
    }
    const std::string command = first < argc ? argv[first] : "";
    const int result = runCommand(command, argc - first - 1, argv + first + 1);
    if (verbose)
        fputs(zef_last_output(), stderr);
    return result;
}
