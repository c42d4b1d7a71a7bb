#include "trust.h"

#include "safeopen.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Links followed on the way, at most, as the kernel allows.
constexpr int MAX_LINKS = 40;

// What makes st, found at path, untrusted; empty when it is root's or ours
// and writable by nobody else. A folder of root's with the sticky bit, such
// as /tmp, is writable by all, but nobody can rename or remove in it what
// is root's or ours, and only that is taken from it.
std::string untrusted(const struct stat &st, const std::string &path)
{
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return path + " belongs to uid " + std::to_string(st.st_uid) +
               ", who is neither root nor the caller";
    const bool sharedSticky = S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & S_ISVTX);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !S_ISLNK(st.st_mode) && !sharedSticky)
        return path + " is writable by others than its owner";
    return {};
}

// The names of path onto todo, the first last.
void pushNames(const std::string &path, std::vector<std::string> &todo)
{
    std::vector<std::string> names;
    for (size_t at = 0; at <= path.size();) {
        const size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at)
            names.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    todo.insert(todo.end(), names.rbegin(), names.rend());
}

}  // namespace

int openTrustedProgram(const std::string &path, bool &script, std::string &why)
{
    const int pathFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    std::vector<std::string> todo;
    pushNames(path, todo);
    std::string walked;  // the folders walked so far, "" for /
    int folder = open("/", pathFlags | O_DIRECTORY);
    int here = folder;  // what the last name led to
    std::string name;
    int links = 0;
    struct stat st;
    if (fstat(here, &st) != 0) {
        why = "cannot start " + path + ": " + strerror(errno);
        return -1;
    }
    why = untrusted(st, "/");
    while (why.empty() && !todo.empty()) {
        name = todo.back();
        todo.pop_back();
        if (name == ".")
            continue;
        if (here != folder) {
            close(folder);
            folder = here;
        }
        // A link is opened itself, to be checked before it is followed.
        here = openWithoutLinks(folder, name.c_str(), O_PATH, 0, 0, &st);
        if (here < 0) {
            why = "cannot start " + path + ": " + strerror(errno);
            break;
        }
        // "..": what lies above a folder already walked.
        const std::string at =
            name == ".." ? walked.substr(0, walked.rfind('/')) : walked + "/" + name;
        why = untrusted(st, at.empty() ? "/" : at);
        if (why.empty() && S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(here, "", target, sizeof target);
            if (++links > MAX_LINKS || n <= 0 || n == sizeof target) {
                why = "cannot start " + path + ": " + strerror(n < 0 ? errno : ELOOP);
                break;
            }
            pushNames(std::string(target, static_cast<size_t>(n)), todo);
            close(here);
            here = folder;
            if (target[0] == '/') {
                close(folder);
                folder = here = open("/", pathFlags | O_DIRECTORY);
                walked.clear();
            }
            continue;
        }
        walked = at;
    }
    int program = -1;
    if (why.empty() && !S_ISREG(st.st_mode))
        why = "cannot start " + path + ": not a regular file";
    else if (why.empty()) {
        // The checked file itself, opened now for reading its first bytes:
        // its folder lets nobody else swap it meanwhile.
        struct stat opened;
        program = openWithoutLinks(folder, name.c_str(), O_RDONLY, 0, 0, &opened);
        char head[2] = {};
        if (program < 0 || opened.st_ino != st.st_ino ||
            opened.st_dev != st.st_dev) {
            why = "cannot start " + path + ": " + strerror(program < 0 ? errno : ESTALE);
        } else {
            script = pread(program, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
        }
    }
    if (!why.empty() && program >= 0)
        program = (close(program), -1);
    if (here != folder && here >= 0)
        close(here);
    close(folder);
    return program;
}
