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
// zef_last_output, and its last line that is not routine for promptSaid.
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
// the desktop's scaling, input-method, style and theme settings, the user's
// own runtime folder and session bus, QT_XCB_GL_INTEGRATION and a fixed
// PATH. Nothing
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

class XauthorityHandOver;

// One call's settings, the options with their defaults filled in.
struct Call {
    PromptUser user;
    std::string display;  // the options', else ours, else the desktop session's
    std::string home;     // the prompt's HOME: started by root, its user's own
    std::string promptDir;
    std::optional<Clock::time_point> deadline;
    int timeoutMs = 0;    // its limit, for the error line
    std::string userName;  // the options'; empty: found by choosePromptUser
    std::string message;  // for the PIN prompt; empty: none
    // The display's cookie for the prompt, found before the display check.
    std::shared_ptr<XauthorityHandOver> xauthority;
};
// The options, copied into call, the deadline counted from now; false,
// reported (ZEF_E_INPUT, ZEF_E_PROMPT), when they cannot be used. The user
// is left to choosePromptUser.
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

// Whether logind keeps its records here: where it does, a display's cookie
// goes only to a user who has a session on it.
bool logindRuns();
// Whether uid has a logind session on display, and the process that leads
// it (0 when unknown).
bool sessionOnDisplay(uid_t uid, const std::string &display, pid_t &leader);

// Finds the cookie that the call's prompt gets for its display and opens
// the display with it, as the prompt will: the connection, to be kept
// until the prompt has connected (an X server that resets as its last
// client leaves refuses whoever connects in that moment), or -1, reported
// (ZEF_E_DISPLAY with the server's reason), when a prompt would only die
// of it. Nothing is printed.
int openDisplay(Call &call);

// One kind's turn among the threads of this process, first come, first
// served in the order of the tickets: a call queues at its start, its
// thread takes the turn, and the call gives it back as it is freed, which
// may be on another thread. The kinds' turns are never destroyed: the
// thread of a cancelled call may still wait in take() as the process
// exits, and a condition variable destroyed under a waiter blocks the exit
// for good.
class Turn {
public:
    // A ticket, the last in the queue.
    unsigned long long queue();
    // Waits until ticket is first and the turn free, and takes it; false
    // when the deadline passed first, the ticket gone from the queue.
    bool take(unsigned long long ticket, const std::optional<Clock::time_point> &deadline);
    void leave(unsigned long long ticket);
    void give();

private:
    std::mutex m_mutex;
    std::condition_variable m_given;
    std::deque<unsigned long long> m_waiting;  // the tickets, in order
    unsigned long long m_next = 0;
    bool m_taken = false;
};

class PromptWatch;

// A call's hold on its kind: the turn among our threads, then a lock file
// of the kind in the prompt user's runtime folder, opened as that user, so
// that no two callers on the machine show that user the same prompt at
// once. queue() takes the call's place at its start; take() is false,
// reported, when the deadline passed first (ZEF_TIMEOUT) or the lock file
// cannot be used, and false, unreported, when the call was cancelled
// (watch) before its turn came. Held until released or destroyed.
class KindLock {
public:
    KindLock() = default;
    KindLock(const KindLock &) = delete;
    KindLock &operator=(const KindLock &) = delete;
    ~KindLock();
    void queue(Turn &turn);
    bool take(const char *name, const Call &call, const PromptWatch &watch);
    // Lets go of whatever it holds: the place in the queue, or the turn
    // and the lock file.
    void release();

private:
    Turn *m_turn = nullptr;
    unsigned long long m_ticket = 0;
    bool m_queued = false;  // the ticket waits in the queue
    bool m_held = false;    // the turn is ours
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
// when the call is cancelled, from any thread, before or while it runs.
class PromptWatch {
public:
    explicit PromptWatch(const std::optional<Clock::time_point> &deadline);
    PromptWatch(const PromptWatch &) = delete;
    PromptWatch &operator=(const PromptWatch &) = delete;
    ~PromptWatch();

    // The prompt pid runs: its pidfd, where the kernel has them, tells when
    // it ends.
    void started(pid_t pid);
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

private:
    std::optional<Clock::time_point> m_deadline;
    std::atomic<bool> m_cancelled{false};
    int m_wake = -1;  // an eventfd that cancel() writes
    int m_pidfd = -1;
    bool m_gone = false;  // it had ended and been reaped before its pidfd opened
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

// One call from its start to its finish. The start checks the options,
// makes the call's channel, queues for the kind's turn and starts the
// call's own thread, which does the rest: it finds the user, checks the
// display, takes the kind's lock, starts the prompt (which goes with that thread) and waits for its end.
// A call whose prompt started holds its kind's lock until it is freed, at
// its finish; one that shows no prompt (it failed, or was cancelled while
// it waited) lets go of it as soon as its thread gets that far.
struct zef_call {
    explicit zef_call(PromptKind kind) : kind(kind) {}
    // Takes the options for the prompt name and makes the call's channel;
    // false, reported (ZEF_E_INPUT for bad options), when that cannot be.
    bool begin(const zef_options *options, const char *name);
    // Queues the call for turn and starts its thread.
    void launch(Turn &turn, const std::string &cwd = {});
    // Waits for the call's outcome; a failure or timeout is reported here.
    Ran end();
    void cancel();
    // Readable once the call has its outcome.
    int fd() const { return m_done; }
    // Frees the call, at once or once its thread has ended.
    void release();

    PromptKind kind;
    Call settings;
    KindLock lock;
    Channel channel;  // from begin() on: the chooser's lists, then the result
    std::unique_ptr<PromptWatch> watch;  // from begin() on
    PromptRun run;
    const char *name = "";
    // The chooser's number of certificates.
    int certificates = 0;

private:
    ~zef_call();
    friend struct std::default_delete<zef_call>;
    void body(const std::string &cwd);
    // Sets the outcome once and makes fd() readable.
    void over(std::unique_lock<std::mutex> &held, Ran ran, const std::string &error, int kind);
    bool drop();

    int m_display = -1;  // the display check's connection
    int m_done = -1;     // an eventfd, written once the outcome is there
    std::mutex m_mutex;
    std::condition_variable m_changed;
    enum { Waiting, Starting, Over } m_state = Waiting;
    int m_holders = 1;  // the caller, and the thread while it runs
    Ran m_ran = Ran::Failed;
    int m_errorKind = ZEF_E_NONE;
    std::string m_error;
};
// A call that the caller holds: released, not deleted.
struct CallRelease {
    void operator()(zef_call *call) const { call->release(); }
};
using CallHandle = std::unique_ptr<zef_call, CallRelease>;

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
