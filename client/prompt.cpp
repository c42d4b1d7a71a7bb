// Running a prompt, and taking the result segment it left.
#include "client.h"

#include "homefile.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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
        auto refuse = [](const std::string &why) {
            fail("cannot hand XAUTHORITY over: " + why);
            return false;
        };
        std::string bytes;
        const std::string wrong = readHomeFile(ours, XAUTHORITY_MAX_SIZE, bytes);
        if (!wrong.empty())
            return refuse(wrong);
        char folder[] = "/tmp/zefclient-XXXXXX";
        if (!mkdtemp(folder))
            return refuse(strerror(errno));
        m_folder = folder;
        m_path = m_folder + "/Xauthority";
        if (chmod(folder, 0711) != 0)
            return refuse(strerror(errno));
        return writeFile(m_path, bytes, user, 0600);
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

// What the child reports through its pipe when the prompt cannot be
// started; an exec that succeeds closes the pipe unwritten.
enum Step { BecomeUser, ChangeFolder, Execute };
struct StartFailure {
    int step;
    int error;
};

// In the child between fork and exec: only async-signal-safe calls, as the
// caller may have other threads.
[[noreturn]] void startPrompt(const PromptUser &user, pid_t parent, const char *path,
                              const char *cwd, char *const *argv, char *const *env, int report)
{
    StartFailure failure{BecomeUser, 0};
    dup2(STDERR_FILENO, STDOUT_FILENO);
    // The groups first: they can be set only while we are root. Any step
    // that fails leaves the prompt unstarted rather than root.
    if (user.uid != geteuid() &&
        (setgroups(user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 ||
         setuid(user.uid) != 0)) {
        failure.error = errno;
    } else {
        // The prompt goes with the thread that waits for it. The change of
        // user clears this setting, so it comes after; a parent gone
        // before it took hold leaves the prompt unstarted.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        failure.step = ChangeFolder;
        if (!*cwd || chdir(cwd) == 0) {
            failure.step = Execute;
            execve(path, argv, env);
        }
        failure.error = errno;
    }
    (void)!write(report, &failure, sizeof failure);
    _exit(127);
}

}  // namespace

Ran runPrompt(const Call &call, const char *name, PromptRun &run, PromptWatch &watch,
              const std::string &cwd)
{
    const std::string path = call.promptDir + "/" + name;
    Xauthority xauthority;
    if (!xauthority.prepare(call.user))
        return Ran::Failed;
    // Built before the fork: the child only changes user and starts.
    std::vector<std::string> argv{path};
    std::vector<std::string> env{PROMPT_PATH};
    for (char **entry = environ; *entry; ++entry) {
        if (passedOn(*entry) && (call.display.empty() || strncmp(*entry, "DISPLAY=", 8) != 0))
            env.push_back(*entry);
    }
    if (!call.display.empty())
        env.push_back("DISPLAY=" + call.display);
    if (!xauthority.path().empty())
        env.push_back("XAUTHORITY=" + xauthority.path());
    if (!call.message.empty())
        env.push_back("ZEF_PIN_MESSAGE=" + call.message);
    const std::vector<char *> cArgv = cStrings(argv);
    const std::vector<char *> cEnv = cStrings(env);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        fail(std::string("cannot start ") + name + ": " + strerror(errno));
        return Ran::Failed;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        startPrompt(call.user, parent, path.c_str(), cwd.c_str(), cArgv.data(), cEnv.data(),
                    report[1]);
    }
    const int forkError = errno;
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        fail(std::string("cannot start ") + name + ": " + strerror(forkError));
        return Ran::Failed;
    }
    run.pid = pid;
    run.uid = call.user.uid;

    StartFailure failure{};
    ssize_t got;
    while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    int status = 0;
    int error = 0;
    const auto reap = [&] {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    };
    if (got == sizeof failure) {
        reap();
        const std::string why = strerror(failure.error);
        if (failure.step == BecomeUser)
            fail(ZEF_E_USER, "cannot become " + call.user.name + " for " + name + ": " + why);
        else
            fail(ZEF_E_PROMPT, "cannot start " + path + ": " + why);
        return Ran::Failed;
    }
    if (!watch.started(pid)) {
        kill(pid, SIGKILL);
        reap();
        return Ran::Failed;
    }

    switch (watch.wait(pid, status, error)) {
    case PromptWatch::End::TimedOut:
        timedOut(std::string(name) + " gave no answer in time and was closed");
        return Ran::TimedOut;
    case PromptWatch::End::Cancelled:
        return Ran::Cancelled;
    case PromptWatch::End::Lost:
        fail(std::string("lost ") + name + ": " + strerror(error));
        return Ran::Failed;
    case PromptWatch::End::Exited:
        break;
    }
    // A prompt that crashed may have left half a result; none of it counts.
    if (WIFSIGNALED(status))
        fail(ZEF_E_PROMPT,
             std::string(name) + " was killed by signal " + std::to_string(WTERMSIG(status)));
    else if (WEXITSTATUS(status) != 0)
        fail(ZEF_E_PROMPT, std::string(name) + " ended with status " +
                               std::to_string(WEXITSTATUS(status)));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Ran::Ended : Ran::Failed;
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
    // Read or not, the prompt's result is ours: a segment left here would
    // only be mistaken for the next run's result.
    shmctl(id, IPC_RMID, nullptr);
    return taken;
}

int startSegmentPrompt(SegmentPrompt &prompt, const zef_options *options, zef_call **call)
{
    if (!call)
        return fail(ZEF_E_INPUT, std::string("no handle to fill in for ") + prompt.name);
    *call = nullptr;
    auto started = std::make_unique<zef_call>(prompt.kind);
    if (!started->begin(options, prompt.turn, prompt.name) || !clearSegment(prompt.key) ||
        !started->launch(prompt.startsInItsFolder ? started->settings.promptDir : ""))
        return lastResult();
    *call = started.release();
    return ZEF_CHOSEN;
}

int finishSegmentPrompt(SegmentPrompt &prompt, zef_call *call, char *answer, size_t answerSize,
                        void *segment)
{
    const std::unique_ptr<zef_call> finished(call);
    if (!call || call->kind != prompt.kind)
        return fail(ZEF_E_INPUT, std::string("no call of ") + prompt.name + " to finish");
    // Whatever the outcome, no earlier content passes for an answer.
    if (answer)
        memset(answer, 0, answerSize);
    const Ran ran = call->end();
    const bool cancelled = ran == Ran::Cancelled || call->watch->cancelled();
    if (ran == Ran::Ended && !cancelled && answer && answerSize > 0) {
        switch (takeSegment(prompt.key, segment, prompt.size, call->run)) {
        case Taken::Absent:
            return NO_SEGMENT;
        case Taken::Failed:
            return ZEF_ERROR;
        case Taken::Copied:
            return HANDED_OVER;
        }
    }
    // An answer handed over as the prompt was closed, or that nobody takes,
    // is none: it goes, wiped, and the line stays the call's.
    const std::string line = zef_last_error();
    const int kind = zef_last_error_kind();
    std::vector<unsigned char> late(prompt.size);
    if (takeSegment(prompt.key, late.data(), late.size(), call->run) == Taken::Copied)
        explicit_bzero(late.data(), late.size());
    clearError();
    if (cancelled)
        return ZEF_CANCELLED;
    if (ran == Ran::Ended)
        return fail(ZEF_E_INPUT, std::string("no buffer for the answer of ") + prompt.name);
    return fail(kind, line);
}
