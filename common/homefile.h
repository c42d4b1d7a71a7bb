// Opening the files that the calling service and the certificate chooser
// exchange in the user's home directory. Whoever runs with more rights than
// that user (a root service, a prompt started as root) must not be made to
// follow a link the user put there, to wait on a FIFO, or to read without
// end: only the name itself is opened, without blocking, and only a regular
// file is used.
#pragma once

#include <cstddef>
#include <sys/types.h>

// The largest input file of the certificate chooser. A certificate list is a
// few kilobytes: even a thousand certificates, their texts percent-encoded
// twice, stay below 4 MiB. Anything larger is no list of the calling
// service's, and reading it would only cost the chooser memory.
constexpr size_t CERT_FILE_MAX_SIZE = 4 << 20;

enum class HomeFileOpen {
    Opened,
    Failed,      // the open failed, errno set (a link in the name's place: ELOOP)
    NotRegular,  // a FIFO, a directory, a device: its length is no file's size
    TooLarge,    // larger than the reader's limit
};

// Opens path for reading; on Opened, fd is open (close-on-exec) and size is
// the file's size, at most maxSize. Read no more than size bytes: the file
// may grow meanwhile.
HomeFileOpen openHomeFileToRead(const char *path, size_t maxSize, int &fd, size_t &size);

// Reads up to size bytes of fd into buffer, going on after an interrupted
// read, and returns how many it read: fewer at the end of the file or on an
// error, which is then left in error (0 otherwise).
size_t readHomeFileBytes(int fd, char *buffer, size_t size, int &error);

// Opens path for writing, creating it with mode (less the umask) or emptying
// it. A file with a second name is refused before it is emptied, as it may
// be somebody else's file linked in here (errno EMLINK), and so is anything
// that is not a regular file (EINVAL). -1 on failure, with errno set.
int openHomeFileToWrite(const char *path, mode_t mode = 0666);
