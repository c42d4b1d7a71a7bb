// Finding and running a prompt, and taking the result segment it left.
#include "zefcall.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

bool runPrompt(const std::string &path, PromptRun &run, const std::string &cwd)
{
    const std::string name = fs::path(path).filename();
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        fail("cannot start " + name + ": " + strerror(errno));
        return false;
    }
    if (pid == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        if (cwd.empty() || chdir(cwd.c_str()) == 0)
            execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
        fail("cannot start " + path + ": " + strerror(errno));
        _exit(127);
    }
    run.pid = pid;
    run.uid = geteuid();

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
