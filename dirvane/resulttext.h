// The directory chooser's result text: the JSON payload of its segment.
#pragma once

#include "sharememory.h"

// Zeroes text and formats {"status":N, "pathName":"..."} into it, the path
// inserted unchanged. When the whole text and its NUL do not fit, text holds
// the cancel result (status 2, empty path) instead and false is returned: a
// cut path could name another directory, and a cut text is not JSON.
bool formatResultText(char (&text)[DIR_SEGMENT_SIZE], int status, const char *pathName);
