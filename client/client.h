// The inside of libzefclient: one call's settings, starting a prompt, taking
// what it handed over, and the pieces that the tests reach directly.
#pragma once

#include "channel.h"
#include "sharememory.h"
#include "zefkit/zefclient.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Set this thread's error line and kind and return ZEF_ERROR or
// ZEF_TIMEOUT. Without a kind, the error is the system's.
int fail(int kind, const std::string &message);
int fail(const std::string &message);
int timedOut(const std::string &message);
// Keeps the end of what this thread's last prompt printed, for
// zef_last_output, and its last line for promptSaid.
void keepOutput(const std::string &text, const std::string &lastLine);
// ": " and that last line, or nothing: for the error line of a prompt that
// ended without an answer.
std::string promptSaid();
// Gives the line that this thread's last failure set another kind.
int failKind(int kind);
// What this thread's last failure returned: ZEF_TIMEOUT or ZEF_ERROR.
int lastResult();
void clearError();
// Runs one call of the C API, whose caller no exception may reach, with
// this thread's error line cleared first.
template <typename Body> int guarded(const Body &body)
{
    clearError();
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
    std::string home;     // the prompt's HOME: started by root, its user's own
    std::string promptDir;
    std::optional<Clock::time_point> deadline;
    std::string message;  // for the PIN prompt; empty: none
};
// False, reported, when the options cannot be used.
bool prepareCall(const zef_options *options, Call &call);
// The user called name for call, with the HOME the prompt gets: when we run
// as root, that user's own home. With none, when we run as root: the owner
// of HOME, unless that is root; then the user of the desktop session on
// call's display, or of the active one on seat0 (whose display the call
// takes when it has none). Not root: ourselves, with our HOME. False, reported, when there is no such user,
// when we are not root and name is another, or when root finds no session.
bool choosePromptUser(const char *name, Call &call);
// The user id and display of a user's login session on display, or else
// of the active one on seat0 (a greeter's is none); false when logind
// knows none (or the library was built without it).
bool desktopSession(const std::string &display, uid_t &uid, std::string &sessionDisplay);

// False, reported (ZEF_E_DISPLAY), when the call's display cannot be
// opened: a prompt would only die of it.
bool displayOpens(const Call &call);

// One kind's turn among the threads of this process, first come, first
// served. A call takes it as it starts and gives it back as it finishes,
// which may be on another thread.
class Turn {
public:
    bool take(const std::optional<Clock::time_point> &deadline);
    void give();

private:
    std::mutex m_mutex;
    std::condition_variable m_given;
    std::deque<unsigned long long> m_waiting;  // the tickets, in order
    unsigned long long m_next = 0;
    bool m_taken = false;
};

// A call's hold on its kind: the turn among our threads, then a lock file
// of the kind in the prompt user's runtime folder, opened as that user, so
// that no two callers on the machine show that user the same prompt at
// once. Held until destroyed; take() is false, reported, when the deadline
// passed first (ZEF_TIMEOUT) or the lock file cannot be used.
class KindLock {
public:
    KindLock() = default;
    KindLock(const KindLock &) = delete;
    KindLock &operator=(const KindLock &) = delete;
    ~KindLock();
    bool take(Turn &turn, const char *name, const Call &call);

private:
    Turn *m_turn = nullptr;
    int m_file = -1;
};

// What the prompt printed as it ran.
struct PromptRun {
    // The end of what it printed, and its last line, for the caller's thread.
    std::string output;
    std::string lastLine;
};
enum class Ran { Ended, Failed, TimedOut, Cancelled };

// How a running prompt is waited for. runPrompt tells it when the prompt is
// up, then waits through it; the prompt is killed at the call's deadline or
// when the call is cancelled, from any thread.
class PromptWatch {
public:
    // onStarted is called once the prompt is up.
    PromptWatch(const std::optional<Clock::time_point> &deadline, std::function<void()> onStarted);
    PromptWatch(const PromptWatch &) = delete;
    PromptWatch &operator=(const PromptWatch &) = delete;
    ~PromptWatch();

    // The prompt pid runs: makes the descriptor that becomes readable once
    // it has ended. False, reported, when none can be made.
    bool started(pid_t pid);
    // Reaped: it ended, but the caller's SIGCHLD handling reaped it, so its
    // status is unknown.
    enum class End { Exited, Reaped, TimedOut, Cancelled, Lost };
    // Waits for pid to end and reaps it, its wait status in status (the
    // error in error for Lost). Whenever fd (if any) is readable or closed,
    // drain is called to read it, so that the prompt never blocks writing.
    End wait(pid_t pid, int &status, int &error, int fd = -1,
             const std::function<void()> &drain = {});
    void cancel();
    bool cancelled() const { return m_cancelled; }
    // Whether the prompt has ended, as its pidfd tells.
    bool ended() const;
    int fd() const { return m_pidfd >= 0 ? m_pidfd : m_ended[0]; }

private:
    std::optional<Clock::time_point> m_deadline;
    std::function<void()> m_onStarted;
    std::atomic<bool> m_cancelled{false};
    int m_wake = -1;  // an eventfd that cancel() writes
    int m_pidfd = -1;
    bool m_gone = false;  // it had ended and been reaped before its pidfd opened
    int m_ended[2] = {-1, -1};  // without pidfds: closed once the prompt has ended
};

// Runs the prompt name from the call's folder without arguments, once it
// is known to be root's or the caller's to trust (trust.h), in the folder
// cwd (empty: the user's home, else /), with channel's descriptors, keeps
// the end of what it prints, and waits for it through watch: a prompt
// killed at the deadline is reported. run tells what it printed. Every
// ordinary ending of a prompt is exit status 0; anything else is reported
// as Failed, with the prompt's last line; a prompt that the caller's
// SIGCHLD handling reaped has Ended, its answer deciding.
Ran runPrompt(const Call &call, const char *name, const Channel &channel, PromptRun &run,
              PromptWatch &watch, const std::string &cwd = {});
enum class PromptKind { Certificate, Pin, Directory };

// A prompt that hands over an answer of a segment's fixed size (through
// its call's channel), and the turn that its calls take.
struct SegmentPrompt {
    PromptKind kind;
    const char *name;
    size_t size;
    bool startsInItsFolder;
    Turn turn;
};

// One call from its start to its finish: the prompt runs, watched by a
// thread of its own that started it (the prompt goes with that thread), and
// the call holds its kind's lock throughout.
struct zef_call {
    explicit zef_call(PromptKind kind) : kind(kind) {}
    ~zef_call();
    // Prepares the call of the prompt name, checks its display and takes
    // its kind's lock; false, reported, when one of these fails.
    bool begin(const zef_options *options, Turn &turn, const char *name);
    // Starts the prompt on the watching thread and waits until it is up;
    // false, reported, when it could not start.
    bool launch(const std::string &cwd = {});
    // Waits for the prompt's end; a failure or timeout is reported.
    Ran end();

    PromptKind kind;
    Call settings;
    KindLock lock;
    Channel channel;  // the result from launch() on, the chooser's lists before
    std::unique_ptr<PromptWatch> watch;  // from launch() on
    PromptRun run;
    const char *name = "";
    // The chooser's number of certificates.
    int certificates = 0;

private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    enum { Starting, Up, Over } m_state = Starting;
    Ran m_ran = Ran::Failed;
    int m_errorKind = ZEF_E_NONE;
    std::string m_error;
};

// Starts and finishes a call of a segment prompt. The finish waits for the
// prompt, takes what it handed over into segment (prompt.size bytes), and
// returns HANDED_OVER then, NO_SEGMENT when the prompt handed nothing over,
// and otherwise the call's result (ZEF_CANCELLED when it was cancelled).
// The answer buffer is emptied first, whatever the outcome.
constexpr int HANDED_OVER = -1;
constexpr int NO_SEGMENT = -2;
int startSegmentPrompt(SegmentPrompt &prompt, const zef_options *options, zef_call **call);
int finishSegmentPrompt(SegmentPrompt &prompt, zef_call *call, char *answer, size_t answerSize,
                        void *segment);

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
