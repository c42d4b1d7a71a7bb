// Real-world fixtures shared by the test suites: a temporary directory, a
// child process with captured output, and a private X server for driving the
// real programs by keyboard and mouse.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

namespace harness {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }
    void write(const std::string &name, const std::string &bytes) const;
    // nullopt when the file does not exist.
    std::optional<std::string> read(const std::string &name) const;

private:
    std::string m_path;
};

// The whole file, or nullopt when it cannot be opened.
std::optional<std::string> readFile(const std::string &path);
// Its lines without their line feeds; none when it cannot be opened.
std::vector<std::string> readLines(const std::string &path);

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// A program started with fork/exec; standard output and standard error go
// to a file so that nothing blocks however much the child prints.
class Child {
public:
    // setup runs in the child before the exec.
    Child(const std::vector<std::string> &argv, const EnvChanges &env = {},
          const std::string &cwd = {}, const std::function<void()> &setup = {});
    // A forked copy of this process that runs fn, for code that may end the
    // process; it ends with RETURNED when fn returns. Failed assertions in fn
    // do not reach the parent: report through the output or the status.
    explicit Child(const std::function<void()> &fn);
    static constexpr int RETURNED = 125;
    ~Child();  // kills a child that is still running
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return m_pid; }
    // The raw wait status, or nullopt when the child did not end in time.
    std::optional<int> wait(int timeoutMs);
    // The exit status, or nullopt when the child did not exit in time or
    // ended by a signal.
    std::optional<int> exitStatus(int timeoutMs);
    bool running();
    std::string output() const;  // what the child printed so far

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;  // the raw wait status, once reaped
    std::string m_outFile;
};

// The child process that parent (any of its threads) started and that runs
// a program of its own, once it is there; -1 when none comes within some
// seconds.
pid_t childOf(pid_t parent);

// Runs a command to its end and returns its exit status and standard output.
struct Result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
};
Result run(const std::vector<std::string> &argv, const EnvChanges &env = {},
           const std::string &cwd = {}, int timeoutMs = 30000);
// The same for fn run in a forked copy of this process (see Child).
Result run(const std::function<void()> &fn, int timeoutMs = 30000);

// Runs fn with this process's standard output going to a file and returns
// what fn printed there.
std::string captureStdout(const std::function<void()> &fn);

// Moves this process into a mount namespace of its own, so that what it
// mounts afterwards is seen by it alone; false where that is not allowed
// (it needs root). Meant for a forked copy of the test process.
bool privateMountNamespace();
// Moves this process into an IPC namespace of its own, so that the segments
// it makes or finds are its alone (and its children's); false where that is
// not allowed (it needs root).
bool privateIpcNamespace();
// Drops this process for good to the unprivileged user nobody (uid and gid
// 65534, no supplementary groups), to play another local user; false where
// that is not allowed (it needs root). Meant for a forked copy.
constexpr uid_t NOBODY = 65534;
bool becomeNobody();
// In a mount namespace of its own, a fresh /run showing what logind shows
// of a desktop: the active session on seat0, of user on display (none when
// user is nullopt), and that user's runtime folder /run/user/UID with a
// session bus socket in it, both theirs. False where that cannot be
// arranged (it needs root).
bool privateDesktop(std::optional<uid_t> user, const std::string &display);
// In a mount namespace of its own, a fresh tmpfs over folder, mounted with
// options as mount(2) takes them. The project's source and build trees stay where they
// are when they lie below the folder (a clone under /tmp): the programs and
// files that the tests use are there. False where that cannot be arranged.
bool privateTmpfs(const std::string &folder, const std::string &options);
// In such a namespace, a tmpfs over /var holding an empty /var/zeflog with
// the flag file flag, so that the real log directory can be written without
// touching the host's. False where that cannot be arranged.
bool privateLogDirectory(const char *flag);

// The whole contents of the System V segment under key, or nullopt when
// there is none.
std::optional<std::string> readSegment(key_t key);
// Removes the segment under key, if there is one.
void removeSegment(key_t key);

// A private Xvfb server, started on a free display and stopped on
// destruction; with authority, it admits only the clients that hold the
// cookie in that X authority file.
class XServer {
public:
    // screen: its size, such as "2560x1024".
    explicit XServer(const std::string &screen = "1280x1024", const std::string &authority = {});
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    const std::string &display() const { return m_display; }
    // Runs xdotool against this server; returns its standard output.
    std::string xdotool(const std::vector<std::string> &args) const;
    // The id of the first visible window of the process, or an empty string.
    std::string waitForWindow(pid_t pid, int timeoutMs = 20000) const;
    // The same window, given the keyboard: there is no window manager to
    // do that.
    std::string focusWindow(pid_t pid) const;
    // Runs xdotool once per step; a mousemove is taken relative to window.
    void play(const std::string &window, const std::vector<std::vector<std::string>> &steps) const;
    // Gives every non-ASCII character of text (UTF-8) a key of its own in
    // the server's keymap. Without one, xdotool types such a character by
    // remapping a spare key for the keystroke alone, and a busy client can
    // read that keystroke under the old map and lose the character.
    void bindCharacters(const std::string &text) const;
    // The window's width and height, 0 by 0 when there is no such window.
    std::pair<int, int> windowSize(const std::string &window) const;
    // Where its top left corner is on the screen.
    std::pair<int, int> windowPosition(const std::string &window) const;
    // The font resolution that a desktop with larger fonts sets (Xft.dpi),
    // for the programs started from now on.
    void setFontDpi(int dpi) const;
    // What xprop says of the window.
    std::string properties(const std::string &window) const;
    // Saves a PNG of the window.
    bool screenshot(const std::string &window, const std::string &png) const;

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// Whether a window whose xprop output is properties is a dialog to the
// window manager, with an icon of its own.
bool isDialogWithIcon(const std::string &properties);
// Whether its Motif hints leave the window manager free to offer minimize or
// maximize: no list of functions, or one that holds either.
bool offersMinimizeOrMaximize(const std::string &properties);

}  // namespace harness
