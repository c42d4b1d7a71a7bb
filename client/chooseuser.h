// Choosing the user that a call's prompt runs as.
#pragma once

#include "settings.h"

// The user called name for call, with the HOME the prompt gets: when we run
// as root, that user's own home. With none, when we run as root: the owner
// of HOME, unless that is root; then the user of the desktop session on
// call's display, or of the active one on seat0 (whose display the call
// takes when it has none). Not root: ourselves, with our HOME. False,
// reported, when there is no such user, when we are not root and name is
// another, or when root finds no session.
bool choosePromptUser(const char *name, Call &call);
