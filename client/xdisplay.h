// The display check before a prompt starts.
#pragma once

#include "settings.h"

// Finds the cookie that the call's prompt gets for its display and opens
// the display with it, as the prompt will: the connection, to be kept
// until the prompt has connected (an X server that resets as its last
// client leaves refuses whoever connects in that moment), or -1, reported
// (ZEF_E_DISPLAY with the server's reason), when a prompt would only die
// of it. Nothing is printed.
int openDisplay(Call &call);
