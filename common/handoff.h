// Where a prompt's inputs and result go. Started by libzefclient, a prompt
// inherits descriptors of its call alone, named in its environment: the
// result goes there, and the chooser reads its two lists from there, the
// bytes being those of the segment or the home-directory file. Started
// without them, by a service that speaks the protocol itself, a prompt
// uses the fixed segments and files as it always has.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

constexpr char RESULT_FD_VARIABLE[] = "ZEF_RESULT_FD";
constexpr char CERT_COLUMN_FD_VARIABLE[] = "ZEF_CERT_COLUMN_FD";
constexpr char CERT_LIST_FD_VARIABLE[] = "ZEF_CERT_LIST_FD";

constexpr int NOT_HANDED = -1;
constexpr int HANDED_BADLY = -2;

// The descriptor that variable names: NOT_HANDED when it is unset,
// HANDED_BADLY (with a line on standard output) when it names no open file
// without a name, such as a memfd. A named file (a standard stream, a file
// of the service's) is never taken for one.
int handedDescriptor(const char *variable);

// Replaces what the handed descriptor fd holds by size bytes of data.
bool replaceHanded(int fd, const void *data, size_t size);
// The handed input fd whole, up to its first NUL byte, at most maxSize
// bytes; false (with a line on standard output) when it cannot be read.
bool readHanded(int fd, size_t maxSize, std::string &text);

// Removes a leftover result segment under key, unless the result goes to a
// descriptor, which starts empty.
void clearResult(key_t key, size_t size);
// Hands the result over: to the descriptor when one is named, else into
// the segment under key. True when all of it is there.
bool handOverResult(key_t key, const void *data, size_t size);
