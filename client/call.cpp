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

unsigned long long Turn::queue()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting.push_back(m_next);
    return m_next++;
}

bool Turn::take(unsigned long long ticket, const std::optional<Clock::time_point> &deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto mine = [&] { return !m_taken && m_waiting.front() == ticket; };
    if (!deadline)
        m_given.wait(lock, mine);
    else if (!m_given.wait_until(lock, *deadline, mine)) {
        lock.unlock();
        leave(ticket);
        return false;
    }
    m_waiting.pop_front();
    m_taken = true;
    return true;
}

void Turn::leave(unsigned long long ticket)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), ticket));
    }
    // Whoever waits behind is not held up by this ticket.
    m_given.notify_all();
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
    release();
}

void KindLock::queue(Turn &turn)
{
    m_turn = &turn;
    m_ticket = turn.queue();
    m_queued = true;
}

void KindLock::release()
{
    if (m_file >= 0)
        m_file = (close(m_file), -1);  // lets the lock go
    if (m_queued)
        m_turn->leave(m_ticket);
    if (m_held)
        m_turn->give();
    m_queued = m_held = false;
}

bool KindLock::take(const char *name, const Call &call, const PromptWatch &watch)
{
    const std::string busy = std::string("another call kept ") + name + " busy until the timeout";
    if (watch.cancelled())
        return false;
    m_queued = false;
    if (!m_turn->take(m_ticket, call.deadline)) {
        timedOut(busy);
        return false;
    }
    m_held = true;
    if (watch.cancelled())
        return false;
    m_file = lockFile(name, call.user);
    if (m_file == NO_LOCK_FILE)
        return true;
    if (m_file < 0)
        return false;
    // Tried again until the deadline, so that a cancel is seen meanwhile.
    while (flock(m_file, LOCK_EX | LOCK_NB) != 0) {
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
    return m_done >= 0 && channel.open();
}

void zef_call::launch(Turn &turn, const std::string &cwd)
{
    // The place in the kind's queue is the start's: calls are served in
    // the order they were started, however long each takes to get ready.
    lock.queue(turn);
    m_holders = 2;
    std::thread([this, cwd] {
        body(cwd);
        if (drop())
            delete this;
    }).detach();
}

void zef_call::body(const std::string &cwd)
{
    Ran ran = Ran::Failed;
    bool prompted = false;
    try {
        // The check's connection stays open until the call ends: the
        // server does not reset under the prompt as it connects.
        if (!choosePromptUser(settings.userName.empty() ? nullptr : settings.userName.c_str(),
                              settings))
            failKind(ZEF_E_USER);
        else if ((m_display = openDisplay(settings)) >= 0 && lock.take(name, settings, *watch)) {
            std::unique_lock<std::mutex> held(m_mutex);
            // Not when it was cancelled while it waited.
            prompted = m_state != Over && !watch->cancelled();
            if (prompted) {
                m_state = Starting;
                held.unlock();
                ran = runPrompt(settings, name, channel, run, *watch, cwd);
            }
        }
        if (watch->cancelled())
            ran = Ran::Cancelled;
    } catch (const std::exception &e) {
        fail(e.what());
    }
    // A call that shows no prompt lets go of its kind at once, its place in
    // the queue or its turn: nobody behind it waits for its finish.
    if (!prompted)
        lock.release();
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
