#include "homefile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

HomeFileOpen openHomeFileToRead(const char *path, size_t maxSize, int &fd, size_t &size)
{
    fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return HomeFileOpen::Failed;
    struct stat st;
    HomeFileOpen result = HomeFileOpen::Opened;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        result = HomeFileOpen::NotRegular;
    else if (static_cast<unsigned long long>(st.st_size) > maxSize)
        result = HomeFileOpen::TooLarge;
    if (result != HomeFileOpen::Opened) {
        close(fd);
        fd = -1;
        return result;
    }
    size = static_cast<size_t>(st.st_size);
    return result;
}

int openHomeFileToWrite(const char *path, mode_t mode)
{
    // No O_TRUNC: the file is emptied only once it is known to be ours.
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (st.st_nlink != 1)
        error = EMLINK;
    else if (ftruncate(fd, 0) != 0)
        error = errno;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
