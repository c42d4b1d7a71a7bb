// zefcall, the reference calling service: it starts one of the kit's prompts,
// waits for the process to end and collects what the prompt left behind.
#pragma once

#include "sharememory.h"

#include <cstdio>
#include <string>
#include <sys/types.h>

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
