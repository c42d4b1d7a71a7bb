// Opening a file in a folder that someone else may write to: a root service
// in a user's runtime folder or home, a prompt in its user's home. Whoever
// put a link, a second name or a FIFO there must gain nothing: the last
// name is never followed when it is a link, nothing blocks, and what was
// opened can be checked on its descriptor, never by its name again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// What openWithoutLinks checks beyond the last name.
enum OpenCheck : unsigned {
    NoLinkOnTheWay = 1,  // no folder of the path is a link either (ELOOP, ENOTDIR)
    RegularOnly = 2,     // what was opened is a regular file (else EINVAL)
    OneNameOnly = 4,     // and has no second name (else EMLINK)
};

// Opens path, relative to folder (AT_FDCWD: the current folder), with
// flags and O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC: a link in the last name's
// place fails (ELOOP; with O_PATH it is opened itself, for its caller to
// look at), a FIFO opens without waiting for its other end. With O_CREAT a
// new file gets mode, less the umask. checks are OpenCheck bits; st, when
// given, gets the opened file's status. -1 with errno set.
int openWithoutLinks(int folder, const char *path, int flags, unsigned checks = 0,
                     mode_t mode = 0, struct stat *st = nullptr);
