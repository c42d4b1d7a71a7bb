// Running a prompt: its program checked and opened, its environment, its
// process started as its user, and its end.
#pragma once

#include "channel.h"
#include "settings.h"
#include "watch.h"

#include <string>

// What the prompt printed as it ran.
struct PromptRun {
    // The end of what it printed, and its last line, for the caller's thread.
    std::string output;
    std::string lastLine;
};
enum class Ran { Ended, Failed, TimedOut, Cancelled };

// Runs the prompt name from the call's folder without arguments, once it
// is known to be root's or the caller's to trust (trust.h), in the folder
// cwd (empty: the user's home, else /), with channel's descriptors, keeps
// the end of what it prints, and waits for it through watch: a prompt
// killed at the deadline is reported. run tells what it printed. Every
// ordinary ending of a prompt is exit status 0; anything else is reported
// as Failed, with the prompt's last line; a prompt that the caller's
// SIGCHLD handling reaped has Ended, its answer deciding.
Ran runPrompt(const Call &call, const char *name, const Channel &channel, PromptRun &run,
              PromptWatch &watch, const std::string &cwd = {});
