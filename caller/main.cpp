// zefcall: the reference calling service of the kit, a small program for
// integrators to read and copy. Each command does what a service does with
// one prompt.
#include "zefcall.h"

#include <cstring>

static const char USAGE[] =
    "Usage: zefcall [--user NAME] COMMAND\n"
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
    "                      HOME, and as root only when that is root\n"
    "\n"
    "The prompts are looked for beside zefcall, then on PATH; the log library\n"
    "in the kit's library folder, then where the system keeps libraries.\n"
    "Exit status: 0 chosen or done, 1 nothing chosen, 2 error.\n";

int main(int argc, char **argv)
{
    if (argc > 2 && strcmp(argv[1], "--user") == 0) {
        if (!choosePromptUser(argv[2]))
            return Failed;
        argc -= 2;
        argv += 2;
    }
    const std::string command = argc > 1 ? argv[1] : "";
    const int args = argc - 2;
    if (command == "--help" && args == 0) {
        fputs(USAGE, stdout);
        return Done;
    }
    if (command == "cert" && args == 1)
        return certCommand(argv[2]);
    if (command == "pin" && (args == 0 || (args == 1 && strcmp(argv[2], "--show") == 0)))
        return pinCommand(args == 1);
    if (command == "dir" && args == 0)
        return dirCommand();
    if (command == "log" && args == 2)
        return logCommand(argv[2], argv[3]);
    return fail(command.empty() ? "no command; see zefcall --help"
                                : "wrong arguments for \"" + command + "\"; see zefcall --help");
}
