#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace {

// Without pidfds, how often the watcher looks whether the prompt has ended.
constexpr int POLL_WITHOUT_PIDFD_MS = 10;

// Milliseconds until deadline, rounded up, for poll: -1 without one.
int msUntil(const std::optional<Clock::time_point> &deadline)
{
    if (!deadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), INT32_MAX)));
}

}  // namespace

bool passed(const std::optional<Clock::time_point> &deadline)
{
    return deadline && Clock::now() >= *deadline;
}

PromptWatch::PromptWatch(const std::optional<Clock::time_point> &deadline) : m_deadline(deadline)
{
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        throw std::system_error(errno, std::generic_category(), "cannot make an eventfd");
}

PromptWatch::~PromptWatch()
{
    for (const int fd : {m_wake, m_pidfd}) {
        if (fd >= 0)
            close(fd);
    }
}

void PromptWatch::started(pid_t pid)
{
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    // A pidfd opens for a zombie too: a prompt that is not even that any
    // more has ended, and the caller's SIGCHLD handling reaped it.
    m_gone = m_pidfd < 0 && errno == ESRCH;
}

PromptWatch::End PromptWatch::wait(pid_t pid, int &status, int &error, int fd,
                                   const std::function<void()> &drain)
{
    End end = End::Exited;
    error = 0;
    for (;;) {
        const pid_t done = m_gone ? -1 : waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        // Reaped by the caller (SIGCHLD ignored, or a handler that reaps
        // every child): the pidfd still tells that it has ended, and the
        // answer is in the channel, but its status is nobody's to know.
        if ((m_gone || (done < 0 && errno == ECHILD)) && ended()) {
            if (end == End::Exited)
                end = End::Reaped;
            break;
        }
        if (done < 0 && errno != EINTR) {
            error = errno;
            end = End::Lost;
            break;
        }
        if (end == End::Exited && (m_cancelled || passed(m_deadline))) {
            end = m_cancelled ? End::Cancelled : End::TimedOut;
            // Through the pidfd: a pid that someone else reaped may be
            // another process's by now.
            if (m_pidfd < 0 || syscall(SYS_pidfd_send_signal, m_pidfd, SIGKILL, nullptr, 0) != 0)
                kill(pid, SIGKILL);
        }
        // Wait for the end (the pidfd), the deadline, a cancel or the
        // prompt's output; without a pidfd, look again shortly.
        pollfd fds[3] = {{end == End::Exited ? m_wake : -1, POLLIN, 0},
                         {m_pidfd, POLLIN, 0}, {fd, POLLIN, 0}};
        int timeout = end == End::Exited ? msUntil(m_deadline) : -1;
        if (m_pidfd < 0 && (timeout < 0 || timeout > POLL_WITHOUT_PIDFD_MS))
            timeout = POLL_WITHOUT_PIDFD_MS;
        if (poll(fds, 3, timeout) > 0 && fds[2].revents) {
            drain();
            if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL))
                fd = -1;
        }
    }
    return end;
}

bool PromptWatch::ended() const
{
    pollfd fd{m_pidfd, POLLIN, 0};
    return m_gone || (m_pidfd >= 0 && poll(&fd, 1, 0) == 1);
}

void PromptWatch::cancel()
{
    m_cancelled = true;
    const uint64_t one = 1;
    if (m_wake >= 0)
        (void)!write(m_wake, &one, sizeof one);
}
