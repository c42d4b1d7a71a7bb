// The prompt's process between fork and exec: a clean process of the prompt
// user, carrying nothing of the service's (terminal, session, descriptors,
// signal settings, keyring, working folder).
#pragma once

#include "channel.h"
#include "settings.h"

// Everything the child needs, prepared before the fork.
struct ChildStart {
    const PromptUser *user;
    pid_t parent;             // the process that waits for the prompt
    int program;              // the program, checked (see trustedProgram)
    bool script;              // it starts with #!: its interpreter opens it by descriptor
    const char *cwd;          // its working folder
    const char *fallbackCwd;  // taken when cwd cannot be entered; null: fail then
    char *const *argv;
    char *const *env;
    int report;  // close-on-exec: a StartFailure goes there when the start fails
    int output;  // becomes the prompt's standard output and error
    int keep[KEPT_COUNT];  // each becomes KEPT_FD + its place, or -1
};

// What the child reports through its pipe when the prompt cannot be
// started; an exec that succeeds closes the pipe unwritten.
enum Step { CleanProcess, BecomeUser, ChangeFolder, Execute };
struct StartFailure {
    int step;
    int error;
};

// In the child between fork and exec: async-signal-safe calls only, as the
// caller may have other threads.
[[noreturn]] void startPrompt(const ChildStart &start);
