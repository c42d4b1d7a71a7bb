#include "safeopen.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// path from folder, folder by folder, none of them a link: for kernels
// before 5.6, which have no openat2.
int walkWithoutLinks(int folder, const std::string &path, int flags, mode_t mode)
{
    int dir = path[0] == '/' ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                             : openat(folder, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t at = path.find_first_not_of('/');
    while (dir >= 0 && at != std::string::npos) {
        const size_t end = path.find('/', at);
        const std::string name = path.substr(at, end - at);
        at = path.find_first_not_of('/', end);
        const bool last = at == std::string::npos;
        const int next = openat(dir, name.c_str(),
                                last ? flags : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, mode);
        const int error = errno;
        close(dir);
        errno = error;
        if (next < 0 || last)
            return next;
        dir = next;
    }
    if (dir >= 0)
        close(dir);
    errno = EISDIR;
    return -1;
}

}  // namespace

int openWithoutLinks(int folder, const char *path, int flags, unsigned checks, mode_t mode,
                     struct stat *st)
{
    flags |= O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = -1;
    if (checks & NoLinkOnTheWay) {
        open_how how{};
        how.flags = static_cast<unsigned>(flags);
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_NO_SYMLINKS;
        fd = static_cast<int>(syscall(SYS_openat2, folder, path, &how, sizeof how));
        if (fd < 0 && errno == ENOSYS && *path)
            fd = walkWithoutLinks(folder, path, flags, mode);
    } else {
        fd = openat(folder, path, flags, mode);
    }
    if (fd < 0)
        return -1;
    struct stat own;
    struct stat &status = st ? *st : own;
    int error = 0;
    if (fstat(fd, &status) != 0)
        error = errno;
    else if ((checks & (RegularOnly | OneNameOnly)) && !S_ISREG(status.st_mode))
        error = EINVAL;
    else if ((checks & OneNameOnly) && status.st_nlink != 1)
        error = EMLINK;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
