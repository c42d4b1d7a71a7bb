// One call from its start to its finish: the checks before a prompt starts,
// the kind's lock, the thread that starts and watches the prompt, and
// cancelling it.
#include "client.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <xcb/xcb.h>

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

// While it lives, this thread opens and makes files as user, with that
// user's rights and none of root's: a thread's file-system ids are its own
// (setfsuid), and with them root's powers over files go. So a link or a
// second name that the user put in their folders gets nothing from us that
// the user could not have had.
class FilesAsUser {
public:
    explicit FilesAsUser(const PromptUser &user)
        : m_switched(geteuid() == 0 && user.uid != 0)
    {
        if (!m_switched)
            return;
        setfsgid(user.gid);
        setfsuid(user.uid);
        // An id that cannot be taken is refused without an error of its own.
        m_became = setfsuid(static_cast<uid_t>(-1)) == static_cast<int>(user.uid) &&
                   setfsgid(static_cast<gid_t>(-1)) == static_cast<int>(user.gid);
    }
    ~FilesAsUser()
    {
        if (m_switched) {
            setfsuid(geteuid());
            setfsgid(getegid());
        }
    }
    FilesAsUser(const FilesAsUser &) = delete;
    FilesAsUser &operator=(const FilesAsUser &) = delete;
    bool became() const { return !m_switched || m_became; }

private:
    bool m_switched;
    bool m_became = false;
};

// The lock file of the prompt name for the call's user, opened as that user
// in their folder: /run/user/UID when it is theirs alone, else
// /tmp/zefkit-UID, made by them. NO_LOCK_FILE when neither is theirs alone:
// a folder that someone else made first is not used, so that it neither
// blocks the call nor tells it that a prompt is up; the call then waits for
// the calls of this process alone. -1, reported, when it cannot be opened.
constexpr int NO_LOCK_FILE = -2;
int lockFile(const char *name, const PromptUser &user)
{
    const FilesAsUser as(user);
    if (!as.became()) {
        fail("cannot take the rights of " + user.name + " for the lock file");
        return -1;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const auto theirsAlone = [&user](int fd) {
        struct stat st;
        return fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == user.uid && (st.st_mode & 077) == 0;
    };
    const std::string id = std::to_string(user.uid);
    int folder = open(("/run/user/" + id).c_str(), flags);
    if (!theirsAlone(folder)) {
        if (folder >= 0)
            close(folder);
        const std::string tmp = "/tmp/zefkit-" + id;
        mkdir(tmp.c_str(), 0700);
        folder = open(tmp.c_str(), flags);
        if (!theirsAlone(folder)) {
            if (folder >= 0)
                close(folder);
            return NO_LOCK_FILE;
        }
    }
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
    return fd;
}

}  // namespace

bool Turn::take(const std::optional<Clock::time_point> &deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const unsigned long long ticket = m_next++;
    m_waiting.push_back(ticket);
    const auto mine = [&] { return !m_taken && m_waiting.front() == ticket; };
    if (!deadline)
        m_given.wait(lock, mine);
    else if (!m_given.wait_until(lock, *deadline, mine)) {
        // Given up: whoever waits behind is not held up by this ticket.
        m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), ticket));
        m_given.notify_all();
        return false;
    }
    m_waiting.pop_front();
    m_taken = true;
    return true;
}

void Turn::give()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_taken = false;
    }
    m_given.notify_all();
}

KindLock::~KindLock()
{
    if (m_file >= 0)
        close(m_file);  // lets the lock go
    if (m_turn)
        m_turn->give();
}

bool KindLock::take(Turn &turn, const char *name, const Call &call)
{
    const std::string busy = std::string("another call kept ") + name + " busy until the timeout";
    if (!turn.take(call.deadline)) {
        timedOut(busy);
        return false;
    }
    m_turn = &turn;
    m_file = lockFile(name, call.user);
    if (m_file == NO_LOCK_FILE)
        return true;
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
        if (error == EWOULDBLOCK)
            std::this_thread::sleep_for(LOCK_RETRY);
    }
    return true;
}

bool displayOpens(const Call &call)
{
    const char *ours = getenv("DISPLAY");
    const std::string display = !call.display.empty() ? call.display : ours ? ours : "";
    if (display.empty()) {
        fail(ZEF_E_DISPLAY, "no display: DISPLAY is not set and none was given");
        return false;
    }
    // With the X authority that the prompt is given, ours. One call at a
    // time: xcb_connect reads it through libXau, whose XauFileName keeps its
    // buffer in a static without a lock.
    static std::mutex connecting;
    std::unique_lock<std::mutex> lock(connecting);
    xcb_connection_t *connection = xcb_connect(display.c_str(), nullptr);
    const bool opened = !xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    lock.unlock();
    if (!opened)
        fail(ZEF_E_DISPLAY, "cannot open display " + display);
    return opened;
}

PromptWatch::PromptWatch(const std::optional<Clock::time_point> &deadline,
                         std::function<void()> onStarted)
    : m_deadline(deadline), m_onStarted(std::move(onStarted))
{
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        throw std::system_error(errno, std::generic_category(), "cannot make an eventfd");
}

PromptWatch::~PromptWatch()
{
    for (const int fd : {m_wake, m_pidfd, m_ended[0], m_ended[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

bool PromptWatch::started(pid_t pid)
{
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    // A pidfd opens for a zombie too: a prompt that is not even that any
    // more has ended, and the caller's SIGCHLD handling reaped it.
    m_gone = m_pidfd < 0 && errno == ESRCH;
    if (m_pidfd < 0 && pipe2(m_ended, O_CLOEXEC) != 0) {
        fail(std::string("cannot watch the prompt: ") + strerror(errno));
        return false;
    }
    m_onStarted();
    return true;
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
    if (m_ended[1] >= 0)
        m_ended[1] = (close(m_ended[1]), -1);
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

zef_call::~zef_call()
{
    if (m_thread.joinable()) {
        watch->cancel();
        m_thread.join();
    }
}

bool zef_call::begin(const zef_options *options, Turn &turn, const char *prompt)
{
    name = prompt;
    if (!prepareCall(options, settings))
        return false;
    // The message is the PIN prompt's; no other is given it.
    if (kind != PromptKind::Pin)
        settings.message.clear();
    return displayOpens(settings) && lock.take(turn, name, settings);
}

bool zef_call::launch(const std::string &cwd)
{
    if (!channel.open())
        return false;
    watch = std::make_unique<PromptWatch>(settings.deadline, [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = Up;
        m_changed.notify_all();
    });
    m_thread = std::thread([this, cwd] {
        const Ran ran = runPrompt(settings, name, channel, run, *watch, cwd);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ran = ran;
        m_error = zef_last_error();
        m_errorKind = zef_last_error_kind();
        m_state = Over;
        m_changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_state != Starting; });
    if (m_state == Up || m_ran != Ran::Failed)
        return true;
    lock.unlock();
    m_thread.join();
    // A prompt may have started, printed and failed before this thread
    // looked: what it printed is kept all the same.
    keepOutput(run.output, run.lastLine);
    fail(m_errorKind, m_error);
    return false;
}

Ran zef_call::end()
{
    if (m_thread.joinable())
        m_thread.join();
    // What the prompt printed is this thread's to read, as its error is.
    keepOutput(run.output, run.lastLine);
    if (m_ran == Ran::Failed || m_ran == Ran::TimedOut)
        fail(m_errorKind, m_error);
    return m_ran;
}

extern "C" int zef_call_fd(const zef_call *call)
{
    return call && call->watch ? call->watch->fd() : -1;
}

extern "C" void zef_cancel(zef_call *call)
{
    if (call && call->watch)
        call->watch->cancel();
}
