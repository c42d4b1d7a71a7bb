// One call's settings: the prompts' user, the display, the deadline and
// the folder the prompts come from, the options with their defaults filled
// in.
#pragma once

#include "zefkit/zefclient.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The user that the prompts run as.
//
// Run as root, the library shows the desktop user no prompt that runs as
// root: a root file dialog would be a root file manager, and a root prompt
// would load whatever the user's environment and files point it to.
// runPrompt starts each prompt as this user, in a clean process (see
// child.h), with an environment of its own: DISPLAY, XAUTHORITY (the
// display's one entry when the user cannot read ours), HOME, the locale,
// the desktop's scaling, input-method, style and theme settings, the user's
// own runtime folder and session bus, QT_XCB_GL_INTEGRATION and a fixed
// PATH. Nothing else of ours goes along, such as LD_* or QT_PLUGIN_PATH,
// with which whoever set it would run code in the prompt.
struct PromptUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    std::string home;           // theirs in the user database
};

using Clock = std::chrono::steady_clock;

class XauthorityHandOver;

struct Call {
    PromptUser user;
    std::string display;  // the options', else ours, else the desktop session's
    std::string home;     // the prompt's HOME: started by root, its user's own
    std::string promptDir;
    std::optional<Clock::time_point> deadline;
    int timeoutMs = 0;     // its limit, for the error line
    std::string userName;  // the options'; empty: found by choosePromptUser
    std::string message;   // for the PIN prompt; empty: none
    // The display's cookie for the prompt, found before the display check.
    std::shared_ptr<XauthorityHandOver> xauthority;
};

// The options, copied into call, the deadline counted from now; false,
// reported (ZEF_E_INPUT, ZEF_E_PROMPT), when they cannot be used. The user
// is left to choosePromptUser.
bool prepareCall(const zef_options *options, Call &call);
