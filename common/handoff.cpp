#include "handoff.h"

#include "sharememory.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int handedDescriptor(const char *variable)
{
    const char *value = getenv(variable);
    if (!value)
        return NOT_HANDED;
    char *end = nullptr;
    errno = 0;
    const long fd = strtol(value, &end, 10);
    struct stat st;
    // Above the standard streams, open, and a file that no folder holds: a
    // descriptor made for this call, never a file someone can name.
    if (errno != 0 || end == value || *end != '\0' || fd <= STDERR_FILENO || fd > INT_MAX ||
        fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 0) {
        printf("%s names no descriptor of the caller's\n", variable);
        return HANDED_BADLY;
    }
    return static_cast<int>(fd);
}

bool replaceHanded(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    if (ftruncate(fd, 0) != 0) {
        puts("cannot empty the result descriptor");
        return false;
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, bytes + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            puts("cannot write the result descriptor");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readHanded(int fd, size_t maxSize, std::string &text)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_size) > maxSize) {
        puts("the handed input is too large");
        return false;
    }
    // From the start, whatever the shared offset says.
    text.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pread(fd, &text[done], text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            puts("cannot read the handed input");
            return false;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    text.resize(text.find('\0') == std::string::npos ? done : text.find('\0'));
    return true;
}

void clearResult(key_t key, size_t size)
{
    if (!getenv(RESULT_FD_VARIABLE))
        removeShareMemory(key, size);
}

bool handOverResult(key_t key, const void *data, size_t size)
{
    const int fd = handedDescriptor(RESULT_FD_VARIABLE);
    if (fd == NOT_HANDED)
        return copyToShareMemory(key, data, size);
    return fd >= 0 && replaceHanded(fd, data, size);
}
