// The programs that the library starts, root's to trust: a prompt program,
// its folder and every folder above it belong to root or the caller and are
// writable by nobody else, so that nobody else can put a program of theirs
// in its place, before or while it starts.
#pragma once

#include <string>

// Walks path from / one name at a time, never through a link it has not
// checked (a link is followed only from a checked folder, and its target
// walked the same way), and opens the program it ends in: close-on-exec, for
// execveat. script tells whether it starts with "#!". -1 when something on
// the way is not to be trusted or cannot be opened, with a line that names
// it in why.
int openTrustedProgram(const std::string &path, bool &script, std::string &why);
