// The desktop sessions that logind keeps: whose desktop a display shows,
// and who may be given its cookie.
#pragma once

#include <string>
#include <sys/types.h>

// The user id and display of a user's login session on display, or else
// of the active one on seat0 (a greeter's is none); false when logind
// knows none (or the library was built without it).
bool desktopSession(const std::string &display, uid_t &uid, std::string &sessionDisplay);
// Whether logind keeps its records here: where it does, a display's cookie
// goes only to a user who has a session on it.
bool logindRuns();
// Whether uid has a logind session on display, and the process that leads
// it (0 when unknown).
bool sessionOnDisplay(uid_t uid, const std::string &display, pid_t &leader);
