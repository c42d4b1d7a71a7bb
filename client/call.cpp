// One call from its start to its finish: the checks before a prompt starts,
// the kind's lock, the thread that starts and watches the prompt, and
// cancelling it.
#include "client.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace {

// Without pidfds, how often the watcher looks whether the prompt has ended.
constexpr int POLL_WITHOUT_PIDFD_MS = 10;
// How often a call that waits for another caller's lock file tries again.
constexpr auto LOCK_RETRY = std::chrono::milliseconds(10);

// Milliseconds until deadline, rounded up, for poll: -1 without one.
int msUntil(const std::optional<Clock::time_point> &deadline)
{
    if (!deadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), INT32_MAX)));
}

bool passed(const std::optional<Clock::time_point> &deadline)
{
    return deadline && Clock::now() >= *deadline;
}

// The prompt user's runtime folder, open: /run/user/UID when it is theirs,
// else /tmp/zefkit-UID, made for them. A folder of the name that is not the
// user's alone, or a link, is refused rather than used. -1, reported, when
// there is none to use.
int runtimeFolder(const PromptUser &user)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    struct stat st;
    int fd = open(("/run/user/" + std::to_string(user.uid)).c_str(), flags);
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == user.uid)
        return fd;
    if (fd >= 0)
        close(fd);
    const std::string folder = "/tmp/zefkit-" + std::to_string(user.uid);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fail("cannot make " + folder + ": " + strerror(errno));
        return -1;
    }
    fd = open(folder.c_str(), flags);
    if (fd < 0 || fstat(fd, &st) != 0) {
        fail("cannot open " + folder + ": " + strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // Made by root for the user, it is given to them; only root can have
    // made a folder of root's there.
    if (st.st_uid == 0 && user.uid != 0 && fchown(fd, user.uid, user.gid) == 0)
        st.st_uid = user.uid;
    if (st.st_uid != user.uid || (st.st_mode & 077) != 0) {
        fail(folder + " is not the prompt user's alone; remove it");
        close(fd);
        return -1;
    }
    return fd;
}

// The lock file of the prompt name for the call's user, open; -1, reported.
int lockFile(const char *name, const PromptUser &user)
{
    const int folder = runtimeFolder(user);
    if (folder < 0)
        return -1;
    const std::string file = std::string("zefkit-") + name + ".lock";
    // Never through a link, never blocking on a FIFO the user put there.
    const int fd = openat(folder, file.c_str(),
                          O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const int error = errno;
    close(folder);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("cannot open the lock file " + file + ": " +
             (fd < 0 ? strerror(error) : "not a regular file"));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // The user's own services open it too.
    if (st.st_uid != user.uid && geteuid() == 0)
        (void)!fchown(fd, user.uid, user.gid);
    return fd;
}

}  // namespace

bool Turn::take(const std::optional<Clock::time_point> &deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto free = [this] { return !m_taken; };
    if (!deadline)
        m_given.wait(lock, free);
    else if (!m_given.wait_until(lock, *deadline, free))
        return false;
    m_taken = true;
    return true;
}

void Turn::give()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_taken = false;
    }
    m_given.notify_one();
}

KindLock::~KindLock()
{
    if (m_file >= 0)
        close(m_file);  // lets the lock go
    if (m_turn)
        m_turn->give();
}

bool KindLock::take(Turn &turn, const char *name, const Call &call, const PromptWatch &watch)
{
    const std::string busy = std::string("another call kept ") + name + " busy until the timeout";
    if (watch.cancelled())
        return false;
    if (!turn.take(call.deadline)) {
        timedOut(busy);
        return false;
    }
    m_turn = &turn;
    if (watch.cancelled())
        return false;
    m_file = lockFile(name, call.user);
    if (m_file < 0)
        return false;
    // flock waits without a limit; with a deadline, it is tried again.
    while (flock(m_file, LOCK_EX | (call.deadline ? LOCK_NB : 0)) != 0) {
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            fail(std::string("cannot lock the lock file of ") + name + ": " + strerror(error));
            return false;
        }
        if (passed(call.deadline)) {
            timedOut(busy);
            return false;
        }
        if (watch.cancelled())
            return false;
        if (error == EWOULDBLOCK)
            std::this_thread::sleep_for(LOCK_RETRY);
    }
    return true;
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
}

PromptWatch::End PromptWatch::wait(pid_t pid, int &status, int &error, int fd,
                                   const std::function<void()> &drain)
{
    End end = End::Exited;
    error = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            error = errno;
            end = End::Lost;
            break;
        }
        if (end == End::Exited && (m_cancelled || passed(m_deadline))) {
            end = m_cancelled ? End::Cancelled : End::TimedOut;
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

void PromptWatch::cancel()
{
    m_cancelled = true;
    const uint64_t one = 1;
    if (m_wake >= 0)
        (void)!write(m_wake, &one, sizeof one);
}

zef_call::~zef_call()
{
    for (const int fd : {m_display, m_done}) {
        if (fd >= 0)
            close(fd);
    }
}

bool zef_call::begin(const zef_options *options, const char *prompt)
{
    name = prompt;
    if (!prepareCall(options, settings))
        return false;
    // The message is the PIN prompt's; no other is given it.
    if (kind != PromptKind::Pin)
        settings.message.clear();
    watch = std::make_unique<PromptWatch>(settings.deadline);
    m_done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_done < 0)
        fail(std::string("cannot make the call's descriptor: ") + strerror(errno));
    return m_done >= 0;
}

void zef_call::launch(Turn &turn, std::function<bool()> ready, const std::string &cwd)
{
    m_holders = 2;
    std::thread([this, &turn, ready = std::move(ready), cwd] {
        body(turn, ready, cwd);
        if (drop())
            delete this;
    }).detach();
}

void zef_call::body(Turn &turn, const std::function<bool()> &ready, const std::string &cwd)
{
    Ran ran = Ran::Failed;
    try {
        // The check's connection stays open until the call ends: the
        // server does not reset under the prompt as it connects.
        if (!choosePromptUser(settings.userName.empty() ? nullptr : settings.userName.c_str(),
                              settings))
            failKind(ZEF_E_USER);
        else if ((m_display = openDisplay(settings)) >= 0 &&
                 lock.take(turn, name, settings, *watch)) {
            {
                std::lock_guard<std::mutex> held(m_mutex);
                if (m_state == Over)
                    return;  // cancelled while it waited
                m_state = Starting;
            }
            if (ready() && !watch->cancelled())
                ran = runPrompt(settings, name, run, *watch, cwd);
        }
        if (watch->cancelled())
            ran = Ran::Cancelled;
    } catch (const std::exception &e) {
        fail(e.what());
    }
    std::unique_lock<std::mutex> held(m_mutex);
    over(held, ran, zef_last_error(), zef_last_error_kind());
}

void zef_call::over(std::unique_lock<std::mutex> &, Ran ran, const std::string &error, int kind)
{
    if (m_state == Over)
        return;
    m_ran = ran;
    m_error = error;
    m_errorKind = kind;
    m_state = Over;
    const uint64_t one = 1;
    (void)!write(m_done, &one, sizeof one);
    m_changed.notify_all();
}

bool zef_call::drop()
{
    std::lock_guard<std::mutex> held(m_mutex);
    return --m_holders == 0;
}

void zef_call::release()
{
    if (drop())
        delete this;
}

Ran zef_call::end()
{
    std::unique_lock<std::mutex> held(m_mutex);
    m_changed.wait(held, [this] { return m_state == Over; });
    // What the prompt printed is this thread's to read, as its error is.
    keepOutput(run.output, run.lastLine);
    if (m_ran == Ran::Failed || m_ran == Ran::TimedOut)
        fail(m_errorKind, m_error);
    return m_ran;
}

void zef_call::cancel()
{
    watch->cancel();
    // Before its prompt starts, the call is over at once; its thread lets go
    // of what it waits for as soon as it can, and shows no prompt.
    std::unique_lock<std::mutex> held(m_mutex);
    if (m_state == Waiting)
        over(held, Ran::Cancelled, "", ZEF_E_NONE);
}

extern "C" int zef_call_fd(const zef_call *call)
{
    return call ? call->fd() : -1;
}

extern "C" void zef_cancel(zef_call *call)
{
    if (call)
        call->cancel();
}
