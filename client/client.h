// The inside of libzefclient: one call's settings, starting a prompt, taking
// its result segment, and the pieces that the tests reach directly.
#pragma once

#include "sharememory.h"
#include "zefkit/zefclient.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Set this thread's error line and return ZEF_ERROR or ZEF_TIMEOUT.
int fail(const std::string &message);
int timedOut(const std::string &message);
// Keeps the end of what this thread's last prompt printed, for
// zef_last_output, and its last line for promptSaid.
void keepOutput(const std::string &text, const std::string &lastLine);
// ": " and that last line, or nothing: for the error line of a prompt that
// ended without an answer.
std::string promptSaid();
// Runs one call of the C API, whose caller no exception may reach.
template <typename Body> int guarded(const Body &body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}

// The user that the prompts run as.
//
// Run as root, the library shows the desktop user no prompt that runs as
// root: a root file dialog would be a root file manager, and a root prompt
// would load whatever the user's environment and files point it to.
// runPrompt starts each prompt as this user, in a clean process (see
// child.h), with an environment of its own: DISPLAY, XAUTHORITY (the
// display's one entry when the user cannot read ours), HOME, the locale,
// the desktop's scaling and input-method settings, the user's own runtime
// folder and session bus, QT_XCB_GL_INTEGRATION and a fixed PATH. Nothing
// else of ours goes along, such as LD_* or QT_PLUGIN_PATH, with which
// whoever set it would run code in the prompt.
struct PromptUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    std::string home;           // theirs in the user database
};

using Clock = std::chrono::steady_clock;

// One call's settings, the options with their defaults filled in.
struct Call {
    PromptUser user;
    std::string display;  // the options', else ours, else the desktop session's
    std::string home;     // the prompt's HOME, where the chooser's files go
    std::string promptDir;
    std::optional<Clock::time_point> deadline;
};
// False, reported, when the options cannot be used.
bool prepareCall(const zef_options *options, Call &call);
// The user called name for call, with the HOME the prompt gets. With none,
// when we run as root: the owner of HOME, unless that is root; then the
// user of the desktop session on call's display, or of the active one on
// seat0 (whose display the call takes when it has none), with their own
// home. Not root: ourselves. False, reported, when there is no such user,
// when we are not root and name is another, or when root finds no session.
bool choosePromptUser(const char *name, Call &call);
// The user id and display of a user's login session on display, or else
// of the active one on seat0 (a greeter's is none); false when logind
// knows none (or the library was built without it).
bool desktopSession(const std::string &display, uid_t &uid, std::string &sessionDisplay);

// Serialises the calls of one kind. Locked unless the call's deadline passed
// first.
class KindLock {
public:
    KindLock(std::timed_mutex &mutex, const Call &call);
    bool locked() const { return m_lock.owns_lock(); }

private:
    std::unique_lock<std::timed_mutex> m_lock;
};

// Writes bytes to name, never through a link nor into a file that has a
// second name, and gives the file to user, who is to read it. False,
// reported, when that cannot be done.
bool writeFile(const std::string &name, const std::string &bytes, const PromptUser &user,
               mode_t mode = 0666);

// The prompt as it ran: its process id and the user it ran as.
struct PromptRun {
    pid_t pid = -1;
    uid_t uid = 0;
};
enum class Ran { Ended, Failed, TimedOut };
// Runs the prompt name from the call's folder without arguments, in the
// folder cwd (empty: the user's home, else /), keeps the end of what it
// prints for zef_last_output, and waits for it, at most until the call's
// deadline: a prompt still there then is killed and reaped, and the error
// line says so. run tells which process it was. Every ordinary ending of a
// prompt is exit status 0; anything else is reported as Failed, with the
// prompt's last line.
Ran runPrompt(const Call &call, const char *name, PromptRun &run, const std::string &cwd = {});
// Removes a segment left under key by an earlier run, so that what is found
// there after the prompt has ended is this run's result. False (reported)
// when one is there and cannot be removed.
bool clearSegment(key_t key);
enum class Taken { Copied, Absent, Failed };
// Copies the segment under key, which must have exactly size bytes and have
// been created by the prompt run by, into out, wipes and removes it. A
// segment of anyone else is left alone. Failed is reported.
Taken takeSegment(key_t key, void *out, size_t size, const PromptRun &by);

// A prompt that hands its answer over through a segment, and the turn that
// its calls take.
struct SegmentPrompt {
    const char *name;
    key_t key;
    size_t size;
    bool startsInItsFolder;
    std::timed_mutex turn;
};
// A call of such a prompt up to its segment: empties the caller's answer
// buffer, waits for its turn, removes a leftover segment, runs the prompt
// and takes the segment it left into segment (prompt.size bytes). Returns
// HANDED_OVER then, and otherwise the call's result: ZEF_CANCELLED when
// the prompt left no segment.
constexpr int HANDED_OVER = -1;
int askSegmentPrompt(SegmentPrompt &prompt, const zef_options *options, char *answer,
                     size_t answerSize, void *segment);

// One pass of percent-encoding: every byte but ASCII letters, digits and
// -_.!~*'() becomes %XX.
std::string percentEncode(const std::string &text);

// Decrypts the PIN segment under the shared key into pin: the Latin-1 bytes
// before the first zero, NUL-terminated. False, with pin all zero, when the
// bytes are not a PIN block and its padding block under that key.
bool pinFromSegment(const unsigned char (&segment)[PIN_SEGMENT_SIZE],
                    char (&pin)[PIN_BLOCK_SIZE + 1]);

// The directory chooser's result text, {"status":N, "pathName":"..."}. The
// path goes in unescaped, so a quote or backslash in it makes the text
// invalid JSON: it is read by its fixed shape instead, the path being all
// that lies between the fixed prefix and the final "}.
struct DirResult {
    int status = 0;
    std::string path;
};
bool parseDirResult(const std::string &text, DirResult &result);
