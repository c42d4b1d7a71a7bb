// One call from its start to its finish, the same for every kind: the
// checks, the call's own thread that waits for the kind's turn and lock,
// starts and watches the prompt, and cancelling it.
#pragma once

#include "channel.h"
#include "kindlock.h"
#include "kinds.h"
#include "prompt.h"
#include "settings.h"
#include "watch.h"

#include <condition_variable>
#include <memory>
#include <mutex>

// A call of any kind. Its start takes the options, makes the call's
// channel, queues for the kind's turn and starts the call's own thread,
// which does the rest: it finds the user, takes the kind's lock, checks the
// display, starts the prompt (which goes with that thread) and waits
// for its end. A call whose prompt started holds its kind's lock until it is freed, at
// its finish; one that shows no prompt (it failed, or was cancelled while
// it waited) lets go of it as soon as its thread gets that far.
struct zef_call {
    explicit zef_call(const Kind &kind) : kind(kind) {}
    // Takes the options and makes the call's channel, with the request's
    // lists in it; false, reported (ZEF_E_INPUT for bad options), when that
    // cannot be.
    bool takeOptions(const zef_options *options);
    // Queues the call for its kind's turn and starts its thread.
    void launch();
    // Waits for the call's outcome; a failure or timeout is reported here.
    Ran outcome();
    void cancel();
    // Readable once the call has its outcome.
    int readyFd() const { return m_done; }
    // Frees the call, at once or once its thread has ended.
    void disown();

    const Kind &kind;
    Request request;
    Call settings;
    KindLock lock;
    Channel channel;  // from takeOptions() on: the chooser's lists, then the result
    std::unique_ptr<PromptWatch> watch;  // from takeOptions() on
    PromptRun run;

private:
    ~zef_call();
    friend struct std::default_delete<zef_call>;
    void proceed();
    // Sets the outcome once and makes readyFd() readable.
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
// A call that the caller holds: disowned, not deleted.
struct CallDisown {
    void operator()(zef_call *call) const { call->disown(); }
};
using CallHandle = std::unique_ptr<zef_call, CallDisown>;

// A kind's call in two halves. The start checks the handle and the input,
// and starts the call; the finish waits for its outcome, takes what the
// prompt handed over and decodes it into answer, which is emptied first,
// and frees the call. Each returns what the C API returns (ZEF_CANCELLED
// for a call that was cancelled).
int startCall(const Kind &kind, const char *input, const zef_options *options, zef_call **call);
int finishCall(const Kind &kind, zef_call *call, const Answer &answer);
// The blocking call: both halves, the answer's place refused first.
int askCall(const Kind &kind, const char *input, const zef_options *options,
            const Answer &answer);
