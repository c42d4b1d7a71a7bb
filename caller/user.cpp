// The user that the prompts run as, and the files that zefcall makes for
// them in that user's home directory.
#include "zefcall.h"

#include "homefile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<PromptUser> g_promptUser;

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
    return true;
}

}  // namespace

bool choosePromptUser(const char *name)
{
    const passwd *entry = nullptr;
    if (name) {
        entry = getpwnam(name);
        if (!entry) {
            fail(std::string("no user \"") + name + "\"");
            return false;
        }
    } else if (geteuid() == 0) {
        // The home directory we work in is the desktop user's: the
        // certificate files go there, and its owner answers the prompts.
        const char *home = getenv("HOME");
        struct stat st;
        if (!home || !*home) {
            fail("HOME is not set: name the prompts' user with --user");
            return false;
        }
        if (stat(home, &st) != 0) {
            fail(std::string("cannot examine ") + home + ": " + strerror(errno));
            return false;
        }
        entry = getpwuid(st.st_uid);
        if (!entry) {
            fail(std::string("the owner of ") + home + " (uid " + std::to_string(st.st_uid) +
                 ") is no known user: name the prompts' user with --user");
            return false;
        }
    }

    PromptUser user;
    if (!entry) {
        // Not root: the prompts run as we do.
        user.uid = geteuid();
        user.gid = getegid();
    } else if (geteuid() != 0 && entry->pw_uid != geteuid()) {
        fail("only root can start the prompts as another user");
        return false;
    } else if (!userFromEntry(entry, user)) {
        return false;
    }
    g_promptUser = user;
    return true;
}

const PromptUser *promptUser()
{
    if (!g_promptUser && !choosePromptUser(nullptr))
        return nullptr;
    return &*g_promptUser;
}

std::string readFile(const std::string &name, size_t maxSize, std::string &bytes)
{
    int fd = -1;
    size_t size = 0;
    switch (openHomeFileToRead(name.c_str(), maxSize, fd, size)) {
    case HomeFileOpen::Opened:
        break;
    case HomeFileOpen::Failed:
        return "cannot read " + name + ": " + strerror(errno);
    case HomeFileOpen::NotRegular:
        return name + " is not a regular file";
    case HomeFileOpen::TooLarge:
        return name + " is larger than " + std::to_string(maxSize) + " bytes";
    }
    bytes.resize(size);
    size_t done = 0;
    int error = 0;
    while (done < size) {
        const ssize_t n = read(fd, &bytes[done], size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    close(fd);
    if (error != 0)
        return "cannot read " + name + ": " + strerror(error);
    // A file that shrank meanwhile gives what it still held.
    bytes.resize(done);
    return {};
}

bool writeFile(const std::string &name, const std::string &bytes, mode_t mode)
{
    const PromptUser *user = promptUser();
    if (!user)
        return false;
    const int fd = openHomeFileToWrite(name.c_str(), mode);
    // Written by root, the file would be root's in the user's home; it is
    // the user's to read, rewrite and remove.
    bool done = fd >= 0 && (user->uid == geteuid() || fchown(fd, user->uid, user->gid) == 0) &&
                write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && done) {
        done = false;
        error = errno;
    }
    if (!done)
        fail("cannot write " + name + ": " + strerror(error));
    return done;
}
