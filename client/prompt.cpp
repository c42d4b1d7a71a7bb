#include "prompt.h"

#include "child.h"
#include "error.h"
#include "promptoutput.h"
#include "trust.h"
#include "xauthority.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// The prompts find the system's programs only, never one of the user's.
const char PROMPT_PATH[] = "PATH=/usr/local/bin:/usr/bin:/bin";

bool anything(const std::string &)
{
    return true;
}

// A factor such as 1 or 1.5.
bool isNumber(const std::string &value)
{
    return !value.empty() && value != "." && value.size() <= 16 &&
           value.find_first_not_of("0123456789.") == std::string::npos &&
           std::count(value.begin(), value.end(), '.') <= 1;
}

// A plugin's or a screen's name, such as fcitx or HDMI-1: never a path.
bool isName(const std::string &value)
{
    return !value.empty() && value.size() <= 64 &&
           value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789_.-") == std::string::npos;
}

// "1.5;2" or "HDMI-1=1.5;eDP-1=2".
bool isScreenFactors(const std::string &value)
{
    std::istringstream items(value);
    int count = 0;
    for (std::string item; std::getline(items, item, ';'); ++count) {
        const size_t equals = item.find('=');
        if (equals == std::string::npos ? !isNumber(item)
                                        : !isName(item.substr(0, equals)) ||
                                              !isNumber(item.substr(equals + 1)))
            return false;
    }
    return count > 0;
}

// "KDE" or "ubuntu:GNOME".
bool isDesktopNames(const std::string &value)
{
    std::istringstream names(value);
    int count = 0;
    for (std::string name; std::getline(names, name, ':'); ++count) {
        if (!isName(name))
            return false;
    }
    return count > 0 && value.back() != ':';
}

// "@im=fcitx".
bool isInputMethod(const std::string &value)
{
    return value.compare(0, 4, "@im=") == 0 && isName(value.substr(4));
}

// What the prompt gets of our environment, when it holds what it may: the
// user's locale (and every LC_*), our GL setting, the desktop's scaling,
// input method, style and theme (a high-contrast or dark look), the plugins
// by name only: they load from the toolkit's own folders. The desktop's name
// (and KDE's version) chooses the toolkit's theme where none is named: that
// is how a KDE user's colours reach a prompt.
const struct {
    const char *name;
    bool (*valid)(const std::string &value);
} PASSED_ON[] = {
    {"LANG", anything},
    {"LANGUAGE", anything},
    {"QT_XCB_GL_INTEGRATION", anything},
    {"QT_SCALE_FACTOR", isNumber},
    {"QT_AUTO_SCREEN_SCALE_FACTOR", isNumber},
    {"QT_SCREEN_SCALE_FACTORS", isScreenFactors},
    {"QT_IM_MODULE", isName},
    {"QT_STYLE_OVERRIDE", isName},
    {"QT_QPA_PLATFORMTHEME", isName},
    {"XDG_CURRENT_DESKTOP", isDesktopNames},
    {"KDE_SESSION_VERSION", isNumber},
    {"GTK_IM_MODULE", isName},
    {"XMODIFIERS", isInputMethod},
};

bool passedOn(const std::string &entry)
{
    const size_t equals = entry.find('=');
    const std::string name = entry.substr(0, equals);
    if (equals == std::string::npos || name.compare(0, 3, "LC_") == 0)
        return equals != std::string::npos;
    for (const auto &passed : PASSED_ON) {
        if (name == passed.name)
            return passed.valid(entry.substr(equals + 1));
    }
    return false;
}

// The prompt's whole environment. The user's runtime folder and session
// bus go along where they are the user's (never our own bus): through that
// bus the prompts find the desktop's accessibility bus.
std::vector<std::string> promptEnvironment(const Call &call, const std::string &xauthority)
{
    std::vector<std::string> env{PROMPT_PATH};
    for (char **entry = environ; *entry; ++entry) {
        if (passedOn(*entry))
            env.push_back(*entry);
    }
    if (!call.display.empty())
        env.push_back("DISPLAY=" + call.display);
    if (!call.home.empty())
        env.push_back("HOME=" + call.home);
    if (!xauthority.empty())
        env.push_back("XAUTHORITY=" + xauthority);
    const uid_t uid = call.user.uid;
    const std::string runtime = "/run/user/" + std::to_string(uid);
    struct stat st;
    if (lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid) {
        env.push_back("XDG_RUNTIME_DIR=" + runtime);
        if (lstat((runtime + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == uid)
            env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    }
    return env;
}

std::vector<char *> cStrings(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

}  // namespace

Ran runPrompt(const Call &call, const char *name, const Channel &channel, PromptRun &run,
              PromptWatch &watch, const std::string &cwd)
{
    const std::string path = call.promptDir + "/" + name;
    const XauthorityHandOver &xauthority = *call.xauthority;
    // Built before the fork: the child only cleans up, changes user and starts.
    std::vector<std::string> argv{path};
    std::vector<std::string> env = promptEnvironment(call, xauthority.path());
    if (!call.message.empty())
        env.push_back("ZEF_PIN_MESSAGE=" + call.message);
    channel.name(env);
    const std::vector<char *> cArgv = cStrings(argv);
    const std::vector<char *> cEnv = cStrings(env);
    const std::string &folder = cwd.empty() ? call.user.home : cwd;

    std::string untrusted;
    bool script = false;
    const int program = openTrustedProgram(path, script, untrusted);
    if (program < 0) {
        fail(ZEF_E_PROMPT, untrusted);
        return Ran::Failed;
    }
    PromptOutput output;
    int report[2];
    if (!output.open() || pipe2(report, O_CLOEXEC) != 0) {
        fail(std::string("cannot start ") + name + ": " + strerror(errno));
        close(program);
        return Ran::Failed;
    }
    ChildStart start{&call.user, getpid(),     program,    script,
                     folder.c_str(), cwd.empty() ? "/" : nullptr, cArgv.data(), cEnv.data(),
                     report[1],  output.writeEnd(), {}};
    std::copy(std::begin(channel.fds()), std::end(channel.fds()), start.keep);
    start.keep[KeptXauthority] = xauthority.fd();
    const pid_t pid = fork();
    if (pid == 0)
        startPrompt(start);
    const int forkError = errno;
    close(program);
    close(report[1]);
    output.closeWriteEnd();
    if (pid < 0) {
        close(report[0]);
        fail(std::string("cannot start ") + name + ": " + strerror(forkError));
        return Ran::Failed;
    }

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
        if (failure.step == CleanProcess)
            fail(std::string("cannot prepare the process of ") + name + ": " + why);
        else if (failure.step == BecomeUser)
            fail(ZEF_E_USER, "cannot become " + call.user.name + " for " + name + ": " + why);
        else
            fail(ZEF_E_PROMPT, "cannot start " + path + ": " + why);
        return Ran::Failed;
    }
    watch.started(pid);

    const PromptWatch::End end =
        watch.wait(pid, status, error, output.fd(), [&output] { output.drain(); });
    output.drain();
    run.output = output.text();
    run.lastLine = output.lastLine(name);
    keepOutput(run.output, run.lastLine);
    switch (end) {
    case PromptWatch::End::TimedOut:
        timedOut(std::string(name) + " gave no answer within " + std::to_string(call.timeoutMs) +
                 " ms and was closed" + promptSaid());
        return Ran::TimedOut;
    case PromptWatch::End::Cancelled:
        return Ran::Cancelled;
    case PromptWatch::End::Lost:
        fail(std::string("lost ") + name + ": " + strerror(error));
        return Ran::Failed;
    case PromptWatch::End::Reaped:
        return Ran::Ended;
    case PromptWatch::End::Exited:
        break;
    }
    // A prompt that crashed may have left half a result; none of it counts.
    if (WIFSIGNALED(status))
        fail(ZEF_E_PROMPT, std::string(name) + " was killed by signal " +
                               std::to_string(WTERMSIG(status)) + promptSaid());
    else if (WEXITSTATUS(status) != 0)
        fail(ZEF_E_PROMPT, std::string(name) + " ended with status " +
                               std::to_string(WEXITSTATUS(status)) + promptSaid());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Ran::Ended : Ran::Failed;
}
