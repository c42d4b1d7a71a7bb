// zefcall, the reference calling service: it starts one of the kit's prompts,
// waits for the process to end and collects what the prompt left behind.
#pragma once

#include "sharememory.h"

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

// The exit status of every command.
enum Outcome { Done = 0, Nothing = 1, Failed = 2 };

// Reports an error as one line on standard error.
inline int fail(const std::string &message)
{
    fprintf(stderr, "zefcall: %s\n", message.c_str());
    return Failed;
}

// The commands.
int certCommand(const char *file);
int pinCommand(bool show);
int dirCommand();
int logCommand(const char *level, const char *message);

// Starting a prompt and taking its result segment (prompt.cpp).
//
// The absolute path of the prompt: beside this program first, then on PATH.
// Empty when neither has it.
std::string findPrompt(const char *name);
// The prompt as it ran: its process id and the user it ran as.
struct PromptRun {
    pid_t pid = -1;
    uid_t uid = 0;
};
// Runs the prompt without arguments from the folder cwd (empty: ours), its
// standard output going to our standard error so that ours carries the
// result alone, and waits for it; run tells which process it was. Every
// ordinary ending of a prompt is exit status 0; anything else is reported
// and gives false.
bool runPrompt(const std::string &path, PromptRun &run, const std::string &cwd = {});
// Removes a segment left under key by an earlier run, so that what is found
// there after the prompt has ended is this run's result. False (reported)
// when one is there and cannot be removed.
bool clearSegment(key_t key);
enum class Taken { Copied, Absent, Failed };
// Copies the segment under key, which must have exactly size bytes and have
// been created by the prompt run by, into out, wipes and removes it. A
// segment of anyone else is left alone. Failed is reported.
Taken takeSegment(key_t key, void *out, size_t size, const PromptRun &by);

// The user that the prompts run as, and the files made for them (user.cpp).
//
// Run as root, zefcall shows the desktop user no prompt that runs as root: a
// root file dialog would be a root file manager, and a root prompt would
// load whatever the user's environment and files point it to. runPrompt
// starts each prompt as this user, with an environment of its own: DISPLAY,
// XAUTHORITY (a copy the user can read, when needed), HOME, the locale,
// QT_XCB_GL_INTEGRATION and a fixed PATH. Nothing else of ours goes along,
// such as LD_* or QT_PLUGIN_PATH, with which whoever set it would run code
// in the prompt.
struct PromptUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};
// Chooses the prompts' user, once: the user called name; with none, when we
// run as root, the owner of HOME, and otherwise ourselves. False, reported,
// when there is no such user, or when we are not root and name is another.
bool choosePromptUser(const char *name);
// The user chosen, the default one if none was; nullptr (reported) when it
// cannot be chosen.
const PromptUser *promptUser();
// The whole file name, which must be the file itself (no link), a regular
// file and at most maxSize bytes. Returns what is wrong, or an empty text.
std::string readFile(const std::string &name, size_t maxSize, std::string &bytes);
// Writes bytes to name, never through a link nor into a file that has a
// second name, and gives the file to the prompts' user, who is to read it.
// False, reported, when that cannot be done.
bool writeFile(const std::string &name, const std::string &bytes, mode_t mode = 0666);

// Pieces of the commands that the tests reach directly.
//
// One pass of percent-encoding: every byte but ASCII letters, digits and
// -_.!~*'() becomes %XX.
std::string percentEncode(const std::string &text);

// Decrypts the PIN segment under the shared key into pin: the Latin-1 bytes
// before the first zero, NUL-terminated. False, with pin all zero, when the
// bytes are not a PIN block and its padding block under that key.
bool pinFromSegment(const unsigned char (&segment)[PIN_SEGMENT_SIZE],
                    char (&pin)[PIN_BLOCK_SIZE + 1]);

// The directory chooser's result text, {"status":N, "pathName":"..."}. The
// path goes in unescaped, so a quote or backslash in it makes the text
// invalid JSON: it is read by its fixed shape instead, the path being all
// that lies between the fixed prefix and the final "}.
struct DirResult {
    int status = 0;
    std::string path;
};
bool parseDirResult(const std::string &text, DirResult &result);
