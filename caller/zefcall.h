// zefcall, the reference calling service: each command asks the user
// through libzefclient and prints the answer.
#pragma once

#include <zefkit/zefclient.h>

#include <cstdio>
#include <string>

// The exit status of every command: ZEF_CHOSEN, ZEF_CANCELLED, ZEF_ERROR or
// ZEF_TIMEOUT, as the library returns them.
enum Outcome { Done = ZEF_CHOSEN, Nothing = ZEF_CANCELLED, Failed = ZEF_ERROR };

// Reports an error as one line on standard error.
inline int fail(const std::string &message)
{
    fprintf(stderr, "zefcall: %s\n", message.c_str());
    return Failed;
}

// The options of every call, from the command line.
extern zef_options g_options;
// The options for a call that starts the prompt name, found beside this
// program first, then on PATH; false, reported, when it is nowhere.
bool promptOptions(const char *name, zef_options &options);

// A result other than chosen or cancelled, reported with the library's line.
inline int failedCall(int result)
{
    fail(zef_last_error());
    return result;
}

// The commands.
int certCommand(const char *file);
int pinCommand(bool show);
int dirCommand();
int logCommand(const char *level, const char *message);
