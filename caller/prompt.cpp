// Finding and running a prompt, and taking the result segment it left.
#include "zefcall.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <sstream>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

std::string findPrompt(const char *name)
{
    std::error_code ec;
    std::vector<fs::path> folders;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        folders.push_back(self.parent_path());
    // An empty PATH entry means the current folder.
    std::istringstream path(getenv("PATH") ? getenv("PATH") : "");
    for (std::string folder; std::getline(path, folder, ':');)
        folders.push_back(folder.empty() ? "." : folder);

    for (const fs::path &folder : folders) {
        const fs::path candidate = fs::absolute(folder / name, ec);
        if (!ec && fs::is_regular_file(candidate, ec) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

namespace {

// The prompts find the system's programs only, never one of the user's.
const char PROMPT_PATH[] = "PATH=/usr/local/bin:/usr/bin:/bin";
// An X authority file holds a few entries of some dozen bytes each.
const size_t XAUTHORITY_MAX_SIZE = 1 << 20;

// Whether the prompt gets our environment entry NAME=value: what reaches the
// display and the user's locale, and our GL setting.
bool passedOn(const std::string &entry)
{
    const std::string name = entry.substr(0, entry.find('='));
    return name == "DISPLAY" || name == "HOME" || name == "LANG" || name == "LANGUAGE" ||
           name.compare(0, 3, "LC_") == 0 || name == "QT_XCB_GL_INTEGRATION";
}

// The X authority file for a prompt. The prompt's user gets ours when it is
// theirs; else (ours is root's) a copy that the user owns and reads, in a
// folder of its own that only root may list, removed with this object.
class Xauthority {
public:
    Xauthority() = default;
    Xauthority(const Xauthority &) = delete;
    Xauthority &operator=(const Xauthority &) = delete;
    ~Xauthority()
    {
        if (!m_folder.empty()) {
            unlink(m_path.c_str());
            rmdir(m_folder.c_str());
        }
    }

    // False, reported, when the copy cannot be made.
    bool prepare(const PromptUser &user)
    {
        const char *ours = getenv("XAUTHORITY");
        m_path = ours ? ours : "";
        struct stat st;
        if (m_path.empty() || user.uid == geteuid() ||
            (stat(ours, &st) == 0 && st.st_uid == user.uid))
            return true;
        std::string bytes;
        const std::string wrong = readFile(ours, XAUTHORITY_MAX_SIZE, bytes);
        if (!wrong.empty()) {
            fail("cannot hand XAUTHORITY over: " + wrong);
            return false;
        }
        char folder[] = "/tmp/zefcall-XXXXXX";
        if (!mkdtemp(folder)) {
            fail(std::string("cannot hand XAUTHORITY over: ") + strerror(errno));
            return false;
        }
        m_folder = folder;
        m_path = m_folder + "/Xauthority";
        if (chmod(folder, 0711) != 0) {
            fail(std::string("cannot hand XAUTHORITY over: ") + strerror(errno));
            return false;
        }
        return writeFile(m_path, bytes, 0600);
    }
    const std::string &path() const { return m_path; }

private:
    std::string m_folder;
    std::string m_path;
};

std::vector<char *> cStrings(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

}  // namespace

bool runPrompt(const std::string &path, PromptRun &run, const std::string &cwd)
{
    const std::string name = fs::path(path).filename();
    const PromptUser *user = promptUser();
    Xauthority xauthority;
    if (!user || !xauthority.prepare(*user))
        return false;
    // Built before the fork: the child only changes user and starts.
    std::vector<std::string> argv{path};
    std::vector<std::string> env{PROMPT_PATH};
    for (char **entry = environ; *entry; ++entry) {
        if (passedOn(*entry))
            env.push_back(*entry);
    }
    if (!xauthority.path().empty())
        env.push_back("XAUTHORITY=" + xauthority.path());
    const std::vector<char *> cArgv = cStrings(argv);
    const std::vector<char *> cEnv = cStrings(env);

    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        fail("cannot start " + name + ": " + strerror(errno));
        return false;
    }
    if (pid == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        // The groups first: they can be set only while we are root. Any
        // step that fails leaves the prompt unstarted rather than root.
        if (user->uid != geteuid() &&
            (setgroups(user->groups.size(), user->groups.data()) != 0 ||
             setgid(user->gid) != 0 || setuid(user->uid) != 0)) {
            fail("cannot become " + user->name + " for " + name + ": " + strerror(errno));
            _exit(127);
        }
        if (cwd.empty() || chdir(cwd.c_str()) == 0)
            execve(path.c_str(), cArgv.data(), cEnv.data());
        fail("cannot start " + path + ": " + strerror(errno));
        _exit(127);
    }
    run.pid = pid;
    run.uid = user->uid;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            fail("lost " + name + ": " + strerror(errno));
            return false;
        }
    }
    // A prompt that crashed may have left half a result; none of it counts.
    if (WIFSIGNALED(status))
        fail(name + " was killed by signal " + std::to_string(WTERMSIG(status)));
    else if (WEXITSTATUS(status) != 0)
        fail(name + " ended with status " + std::to_string(WEXITSTATUS(status)));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool clearSegment(key_t key)
{
    const int id = shmget(key, 0, 0);
    if ((id < 0 && errno == ENOENT) || (id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0))
        return true;
    fail("segment " + std::to_string(key) + " is left over and cannot be removed: " +
         strerror(errno));
    return false;
}

Taken takeSegment(key_t key, void *out, size_t size, const PromptRun &by)
{
    const std::string segment = "segment " + std::to_string(key);
    const int id = shmget(key, 0, 0);
    if (id < 0 && errno == ENOENT)
        return Taken::Absent;
    if (id < 0) {
        fail("cannot open " + segment + ": " + strerror(errno));
        return Taken::Failed;
    }

    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) {
        fail("cannot examine " + segment + ": " + strerror(errno));
        return Taken::Failed;
    }
    // Once the prompt has ended, or instead of it, anyone may put a segment
    // under the key, holding a PIN or a path of their choosing. Only the
    // prompt's own is its answer, and another's is not ours to remove.
    if (ds.shm_cpid != by.pid || ds.shm_perm.cuid != by.uid) {
        fail(segment + " was not created by the prompt; it is left alone");
        return Taken::Failed;
    }

    Taken taken = Taken::Failed;
    void *addr = reinterpret_cast<void *>(-1);
    if (ds.shm_segsz != size)
        fail(segment + " has " + std::to_string(ds.shm_segsz) + " bytes, not " +
             std::to_string(size));
    else if ((addr = shmat(id, nullptr, 0)) == reinterpret_cast<void *>(-1))
        fail("cannot attach " + segment + ": " + strerror(errno));
    else {
        memcpy(out, addr, size);
        // The PIN's ciphertext is as good as the PIN to anyone holding the
        // kit, so no copy of it stays behind in the system.
        explicit_bzero(addr, size);
        shmdt(addr);
        taken = Taken::Copied;
    }
    // Read or not, the result is ours: a segment left here would only be
    // mistaken for the next run's result.
    shmctl(id, IPC_RMID, nullptr);
    return taken;
}
