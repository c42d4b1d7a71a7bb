#include "channel.h"

#include "error.h"
#include "handoff.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The prompts' names of the descriptors.
const char *const VARIABLES[KEPT_COUNT] = {nullptr, RESULT_FD_VARIABLE, CERT_COLUMN_FD_VARIABLE,
                                           CERT_LIST_FD_VARIABLE};

}  // namespace

Channel::~Channel()
{
    const int result = m_fds[KeptResult];
    const size_t size = result >= 0 ? handed() : 0;
    if (size > 0) {
        const std::vector<char> zeros(size);
        (void)!pwrite(result, zeros.data(), size, 0);
    }
    for (const int fd : m_fds) {
        if (fd >= 0)
            close(fd);
    }
}

bool Channel::open()
{
    m_fds[KeptResult] = memfd_create("zefkit-result", MFD_CLOEXEC);
    if (m_fds[KeptResult] < 0)
        fail(std::string("cannot make the result descriptor: ") + strerror(errno));
    return m_fds[KeptResult] >= 0;
}

bool Channel::give(Kept which, const std::string &bytes)
{
    const int fd = memfd_create(VARIABLES[which], MFD_CLOEXEC | MFD_ALLOW_SEALING);
    m_fds[which] = fd;
    bool done = fd >= 0;
    for (size_t at = 0; done && at < bytes.size();) {
        // At the shared offset 0 still, for a reader that reads from it.
        const ssize_t n = pwrite(fd, bytes.data() + at, bytes.size() - at, static_cast<off_t>(at));
        done = n > 0 || (n < 0 && errno == EINTR);
        at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (done && fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        done = false;
    if (!done)
        fail(std::string("cannot hand the chooser its list: ") + strerror(errno));
    return done;
}

void Channel::name(std::vector<std::string> &env) const
{
    for (int i = 0; i < KEPT_COUNT; ++i) {
        if (VARIABLES[i] && m_fds[i] >= 0)
            env.push_back(std::string(VARIABLES[i]) + "=" + std::to_string(KEPT_FD + i));
    }
}

size_t Channel::handed() const
{
    struct stat st;
    return fstat(m_fds[KeptResult], &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

bool Channel::take(void *out, size_t size) const
{
    char *bytes = static_cast<char *>(out);
    for (size_t at = 0; at < size;) {
        const ssize_t n = pread(m_fds[KeptResult], bytes + at, size - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(std::string("cannot read what the prompt handed over: ") +
                 (n < 0 ? strerror(errno) : "it shrank"));
            return false;
        }
        at += static_cast<size_t>(n);
    }
    return true;
}
