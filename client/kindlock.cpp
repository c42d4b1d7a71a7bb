#include "kindlock.h"

#include "error.h"
#include "safeopen.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How often a call that waits for another caller's lock file tries again.
constexpr auto LOCK_RETRY = std::chrono::milliseconds(10);

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
    const auto theirsAlone = [&user](const char *path) {
        struct stat st;
        const int fd = openWithoutLinks(AT_FDCWD, path, O_RDONLY | O_DIRECTORY, 0, 0, &st);
        if (fd < 0 || (st.st_uid == user.uid && (st.st_mode & 077) == 0))
            return fd;
        close(fd);
        return -1;
    };
    const std::string id = std::to_string(user.uid);
    int folder = theirsAlone(("/run/user/" + id).c_str());
    if (folder < 0) {
        const std::string tmp = "/tmp/zefkit-" + id;
        mkdir(tmp.c_str(), 0700);
        folder = theirsAlone(tmp.c_str());
        if (folder < 0)
            return NO_LOCK_FILE;
    }
    const std::string file = std::string("zefkit-") + name + ".lock";
    // Never through a link, never blocking on a FIFO the user put there.
    const int fd = openWithoutLinks(folder, file.c_str(), O_RDONLY | O_CREAT, RegularOnly, 0600);
    const int error = errno;
    close(folder);
    if (fd < 0)
        fail("cannot open the lock file " + file + ": " +
             (error == EINVAL ? "not a regular file" : strerror(error)));
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
