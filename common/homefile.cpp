#include "homefile.h"

#include "safeopen.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

HomeFileOpen openHomeFileToRead(const char *path, size_t maxSize, int &fd, size_t &size)
{
    struct stat st;
    fd = openWithoutLinks(AT_FDCWD, path, O_RDONLY, RegularOnly, 0, &st);
    if (fd < 0)
        return errno == EINVAL ? HomeFileOpen::NotRegular : HomeFileOpen::Failed;
    if (static_cast<unsigned long long>(st.st_size) > maxSize) {
        close(fd);
        fd = -1;
        return HomeFileOpen::TooLarge;
    }
    size = static_cast<size_t>(st.st_size);
    return HomeFileOpen::Opened;
}

size_t readHomeFileBytes(int fd, char *buffer, size_t size, int &error)
{
    error = 0;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, buffer + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    return done;
}

int openHomeFileToWrite(const char *path, mode_t mode)
{
    // No O_TRUNC: the file is emptied only once it is known to be ours.
    const int fd = openWithoutLinks(AT_FDCWD, path, O_WRONLY | O_CREAT, OneNameOnly, mode);
    if (fd >= 0 && ftruncate(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
