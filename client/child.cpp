// The prompt's process between fork and exec.
#include "child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/keyctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Closes every descriptor from first up to last.
void closeRange(unsigned first, unsigned last)
{
    if (first > last || close_range(first, last, 0) == 0)
        return;
    // A kernel before 5.9: one by one, up to the limit of descriptors.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < last)
        last = static_cast<unsigned>(limit.rlim_cur);
    for (unsigned fd = first; fd <= last && fd > 0; ++fd)
        close(static_cast<int>(fd));
}

// Standard input from /dev/null, output and error into output, each of
// keep in its place from KEPT_FD on, report and program kept until the exec
// (they are close-on-exec), everything else closed: a descriptor that the
// service holds without close-on-exec (a root file, a socket) would
// otherwise be the user's.
bool arrangeDescriptors(int output, const int (&keep)[KEPT_COUNT], int &report, int &program)
{
    // Copies above the ones that are to be replaced, so that no step below
    // overwrites what a later step still needs.
    constexpr int ABOVE = KEPT_FD + KEPT_COUNT;
    report = fcntl(report, F_DUPFD_CLOEXEC, ABOVE);
    program = fcntl(program, F_DUPFD_CLOEXEC, ABOVE);
    output = fcntl(output, F_DUPFD_CLOEXEC, ABOVE);
    int copies[KEPT_COUNT];
    for (int i = 0; i < KEPT_COUNT; ++i) {
        copies[i] = keep[i] >= 0 ? fcntl(keep[i], F_DUPFD_CLOEXEC, ABOVE) : -1;
        if (keep[i] >= 0 && copies[i] < 0)
            return false;
    }
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (report < 0 || program < 0 || output < 0 || null < 0 || dup2(null, STDIN_FILENO) < 0 ||
        dup2(output, STDOUT_FILENO) < 0 || dup2(output, STDERR_FILENO) < 0)
        return false;
    for (int i = 0; i < KEPT_COUNT; ++i) {
        if (copies[i] < 0)
            close(KEPT_FD + i);
        else if (dup2(copies[i], KEPT_FD + i) < 0)
            return false;
    }
    // What lies between or above them goes.
    const unsigned low = static_cast<unsigned>(std::min(report, program));
    const unsigned high = static_cast<unsigned>(std::max(report, program));
    closeRange(ABOVE, low - 1);
    closeRange(low + 1, high - 1);
    closeRange(high + 1, ~0U);
    return true;
}

// Signal dispositions back to the defaults and nothing blocked: an
// ignored SIGTERM or SIGINT would outlive the exec.
void defaultSignals()
{
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    // SIGKILL, SIGSTOP and the C library's own refuse, which is as well.
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// A session keyring of its own, joined while we may still make it, so that
// the service's keys stay out of the user's reach. Where keys are refused
// altogether (a kernel without them, a container's seccomp filter, which
// the prompt keeps), the prompt cannot reach ours either.
bool freshKeyring()
{
    return syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) >= 0 ||
           ((errno == ENOSYS || errno == EPERM) &&
            syscall(SYS_keyctl, KEYCTL_GET_KEYRING_ID, KEY_SPEC_SESSION_KEYRING, 0) < 0);
}

}  // namespace

[[noreturn]] void startPrompt(const ChildStart &s)
{
    int report = s.report;
    int program = s.program;
    StartFailure failure{CleanProcess, 0};
    defaultSignals();
    // A session of its own: no controlling terminal into which the user
    // could push keystrokes for the service's shell (TIOCSTI). No program
    // that the prompt runs gains rights.
    if (!arrangeDescriptors(s.output, s.keep, report, program) || setsid() < 0 || !freshKeyring() ||
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        failure.error = errno;
    } else {
        failure.step = BecomeUser;
        // The groups first: they can be set only while we are root. Any
        // step that fails leaves the prompt unstarted rather than root.
        const PromptUser &user = *s.user;
        if (user.uid != geteuid() &&
            (setgroups(user.groups.size(), user.groups.data()) != 0 ||
             setgid(user.gid) != 0 || setuid(user.uid) != 0)) {
            failure.error = errno;
        } else {
            // The prompt goes with the thread that waits for it. The change
            // of user clears this setting, so it comes after; a parent gone
            // before it took hold leaves the prompt unstarted.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != s.parent)
                _exit(127);
            failure.step = ChangeFolder;
            if (chdir(s.cwd) == 0 || (s.fallbackCwd && chdir(s.fallbackCwd) == 0)) {
                failure.step = Execute;
                // The very file that was checked. A script's interpreter
                // opens it again as /dev/fd/N, which must outlive the exec.
                if (!s.script || fcntl(program, F_SETFD, 0) == 0)
                    syscall(SYS_execveat, program, "", s.argv, s.env, AT_EMPTY_PATH);
            }
            failure.error = errno;
        }
    }
    (void)!write(report, &failure, sizeof failure);
    _exit(127);
}
