#include "chooseuser.h"

#include "error.h"
#include "session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

}  // namespace

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
