// The user that the prompts run as, and the settings of one call.
#include "client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef ZEF_HAVE_SD_LOGIN
#include <systemd/sd-login.h>
#endif

namespace {

thread_local std::string t_error;
thread_local std::string t_output;
thread_local std::string t_lastLine;
thread_local int t_errorKind = ZEF_E_NONE;

// The user of a user-database entry, with the groups the database gives.
bool userFromEntry(const passwd *entry, PromptUser &user)
{
    user.name = entry->pw_name;
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    int count = 0;
    getgrouplist(user.name.c_str(), user.gid, nullptr, &count);
    user.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user.name.c_str(), user.gid, user.groups.data(), &count) < 0) {
        fail("cannot list the groups of " + user.name);
        return false;
    }
    user.groups.resize(static_cast<size_t>(count));
    user.home = entry->pw_dir;
    return true;
}

// The installation's bin/ folder, found from where this library was loaded:
// the kit is installed as a whole, anywhere.
std::string installedPromptDir()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&zef_last_error), &info) || !info.dli_fname)
        return {};
    std::error_code ec;
    const std::filesystem::path library = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::string() : (library.parent_path() / ZEF_BINDIR_FROM_LIBDIR).lexically_normal().string();
}

}  // namespace

int fail(int kind, const std::string &message)
{
    t_error = message;
    t_errorKind = kind;
    return kind == ZEF_E_TIMEOUT ? ZEF_TIMEOUT : ZEF_ERROR;
}

int fail(const std::string &message)
{
    return fail(ZEF_E_SYSTEM, message);
}

int timedOut(const std::string &message)
{
    return fail(ZEF_E_TIMEOUT, message);
}

int failKind(int kind)
{
    t_errorKind = kind;
    return ZEF_ERROR;
}

int lastResult()
{
    return t_errorKind == ZEF_E_TIMEOUT ? ZEF_TIMEOUT : ZEF_ERROR;
}

void clearError()
{
    t_error.clear();
    t_errorKind = ZEF_E_NONE;
}

void keepOutput(const std::string &text, const std::string &lastLine)
{
    t_output = text;
    t_lastLine = lastLine;
}

std::string promptSaid()
{
    return t_lastLine.empty() ? std::string() : ": " + t_lastLine;
}

extern "C" const char *zef_last_error(void)
{
    return t_error.c_str();
}

extern "C" const char *zef_last_output(void)
{
    return t_output.c_str();
}

extern "C" int zef_last_error_kind(void)
{
    return t_errorKind;
}

bool choosePromptUser(const char *name, Call &call)
{
    // getpwnam and getpwuid share one buffer between threads.
    static std::mutex databaseMutex;
    std::lock_guard<std::mutex> lock(databaseMutex);
    const char *home = getenv("HOME");
    call.home = home ? home : "";
    const passwd *entry = nullptr;
    struct stat st;
    auto unknown = [](uid_t uid, const std::string &whose) {
        fail(whose + " (uid " + std::to_string(uid) + ") is no known user: name the prompts' user");
        return false;
    };
    if (name) {
        entry = getpwnam(name);
        if (!entry) {
            fail(std::string("no user \"") + name + "\"");
            return false;
        }
    } else if (geteuid() != 0) {
        // Not root: the prompts run as we do.
        entry = getpwuid(geteuid());
        call.user.uid = geteuid();
        call.user.gid = getegid();
        call.user.home = entry ? entry->pw_dir : "";
        return true;
    } else if (!call.home.empty() && stat(home, &st) != 0) {
        fail(std::string("cannot examine ") + home + ": " + strerror(errno));
        return false;
    } else if (!call.home.empty() && st.st_uid != 0) {
        // The home directory we work in is the desktop user's: its owner
        // answers the prompts.
        entry = getpwuid(st.st_uid);
        if (!entry)
            return unknown(st.st_uid, std::string("the owner of ") + home);
    } else {
        // Root's home, as a daemon's usually is: the user in front of the
        // display, who could read nothing there, answers in their own.
        uid_t uid = 0;
        std::string display;
        if (!desktopSession(call.display, uid, display)) {
            fail("no desktop session found to show the prompts in: name the prompts' user");
            return false;
        }
        entry = getpwuid(uid);
        if (!entry)
            return unknown(uid, "the desktop session's user");
        if (call.display.empty())
            call.display = display;
    }
    if (geteuid() != 0 && entry->pw_uid != geteuid()) {
        fail("only root can start the prompts as another user");
        return false;
    }
    if (!userFromEntry(entry, call.user))
        return false;
    // Started by root, a prompt lives in its own user's home, whatever ours
    // is: the desktop user's settings and links are nothing for a root
    // prompt to read or write through, and root's home nothing for theirs.
    if (geteuid() == 0)
        call.home = call.user.home;
    return true;
}

#ifdef ZEF_HAVE_SD_LOGIN
namespace {

// ":0" and ":0.0" are one display.
std::string withoutScreen(const std::string &name)
{
    const size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(0, name.find('.', colon));
}

std::string displayOf(const char *session)
{
    char *text = nullptr;
    const std::string out = sd_session_get_display(session, &text) >= 0 && text ? text : "";
    free(text);
    return out;
}

// A greeter's or a lock screen's session is nobody's desktop.
bool isUsers(const char *session)
{
    char *kind = nullptr;
    const bool users = sd_session_get_class(session, &kind) >= 0 && kind && strcmp(kind, "user") == 0;
    free(kind);
    return users;
}

// The process that started a session, from logind's record of it, which
// sd-login reads too but libsystemd before 254 gives no call for.
pid_t leaderOf(const char *session)
{
    std::ifstream record(std::string("/run/systemd/sessions/") + session);
    for (std::string line; std::getline(record, line);) {
        if (line.compare(0, 7, "LEADER=") == 0 && line.size() > 7 && line.size() < 17 &&
            line.find_first_not_of("0123456789", 7) == std::string::npos)
            return static_cast<pid_t>(std::stol(line.substr(7)));
    }
    return 0;
}

}  // namespace

bool desktopSession(const std::string &display, uid_t &uid, std::string &sessionDisplay)
{
    std::string chosen;
    char **sessions = nullptr;
    const int count = display.empty() ? 0 : sd_get_sessions(&sessions);
    for (int i = 0; i < count; ++i) {
        if (chosen.empty() && isUsers(sessions[i]) &&
            withoutScreen(displayOf(sessions[i])) == withoutScreen(display))
            chosen = sessions[i];
        free(sessions[i]);
    }
    free(sessions);
    char *active = nullptr;
    if (chosen.empty() && sd_seat_get_active("seat0", &active, nullptr) >= 0 && active &&
        isUsers(active))
        chosen = active;
    free(active);
    if (chosen.empty() || sd_session_get_uid(chosen.c_str(), &uid) < 0)
        return false;
    sessionDisplay = displayOf(chosen.c_str());
    return true;
}

bool logindRuns()
{
    struct stat st;
    return stat("/run/systemd/seats", &st) == 0 && S_ISDIR(st.st_mode);
}

bool sessionOnDisplay(uid_t uid, const std::string &display, pid_t &leader)
{
    leader = 0;
    bool found = false;
    char **sessions = nullptr;
    const int count = display.empty() ? 0 : sd_get_sessions(&sessions);
    for (int i = 0; i < count; ++i) {
        uid_t owner = 0;
        if (!found && sd_session_get_uid(sessions[i], &owner) >= 0 && owner == uid &&
            withoutScreen(displayOf(sessions[i])) == withoutScreen(display)) {
            found = true;
            leader = leaderOf(sessions[i]);
        }
        free(sessions[i]);
    }
    free(sessions);
    return found;
}
#else
bool desktopSession(const std::string &, uid_t &, std::string &)
{
    return false;
}

bool logindRuns()
{
    return false;
}

bool sessionOnDisplay(uid_t, const std::string &, pid_t &leader)
{
    leader = 0;
    return false;
}
#endif

bool prepareCall(const zef_options *options, Call &call)
{
    const zef_options none{};
    const zef_options &o = options ? *options : none;
    keepOutput({}, {});
    if (o.timeout_ms < 0) {
        fail(ZEF_E_INPUT, "timeout_ms must not be negative");
        return false;
    }
    call.timeoutMs = o.timeout_ms;
    if (o.timeout_ms > 0)
        call.deadline = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
    const char *display = o.display && *o.display ? o.display : getenv("DISPLAY");
    call.display = display ? display : "";
    // Absolute: dirvane starts in this folder, and its path must still hold
    // there.
    std::error_code ec;
    call.promptDir = o.prompt_dir && *o.prompt_dir
                         ? std::filesystem::absolute(o.prompt_dir, ec).string()
                         : installedPromptDir();
    if (call.promptDir.empty()) {
        fail(ZEF_E_PROMPT, "cannot tell where the prompts are installed: name their folder");
        return false;
    }
    call.message = o.message ? o.message : "";
    call.userName = o.user ? o.user : "";
    return true;
}
