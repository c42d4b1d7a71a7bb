#include "call.h"

#include "chooseuser.h"
#include "error.h"
#include "xdisplay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

zef_call::~zef_call()
{
    for (const int fd : {m_display, m_done}) {
        if (fd >= 0)
            close(fd);
    }
}

bool zef_call::takeOptions(const zef_options *options)
{
    if (!prepareCall(options, settings))
        return false;
    // The message is the PIN prompt's; no other is given it.
    if (!kind.showsMessage)
        settings.message.clear();
    watch = std::make_unique<PromptWatch>(settings.deadline);
    m_done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_done < 0) {
        fail(std::string("cannot make the call's descriptor: ") + strerror(errno));
        return false;
    }
    // The chooser's lists travel in the call's channel, nowhere in a home.
    return channel.open() &&
           (request.columnFile.empty() || (channel.give(KeptCertColumn, request.columnFile) &&
                                           channel.give(KeptCertList, request.listFile)));
}

void zef_call::launch()
{
    // The place in the kind's queue is the start's: calls are served in
    // the order they were started, however long each takes to get ready.
    lock.queue(*kind.turn);
    m_holders = 2;
    std::thread([this] {
        proceed();
        if (drop())
            delete this;
    }).detach();
}

void zef_call::proceed()
{
    const std::string cwd = kind.startsInItsFolder ? settings.promptDir : std::string();
    Ran ran = Ran::Failed;
    bool prompted = false;
    try {
        // The display is checked once the call's turn has come, so that a
        // waiting call holds no X connection, and one cancelled meanwhile
        // makes none. The check's connection stays open until the call
        // ends: the server does not reset under the prompt as it connects.
        if (!choosePromptUser(settings.userName.empty() ? nullptr : settings.userName.c_str(),
                              settings))
            failKind(ZEF_E_USER);
        else if (lock.take(kind.program, settings, *watch) &&
                 (m_display = openDisplay(settings)) >= 0) {
            std::unique_lock<std::mutex> held(m_mutex);
            // Not when it was cancelled while it waited.
            prompted = m_state != Over && !watch->cancelled();
            if (prompted) {
                m_state = Starting;
                held.unlock();
                ran = runPrompt(settings, kind.program, channel, run, *watch, cwd);
            }
        }
        if (watch->cancelled())
            ran = Ran::Cancelled;
    } catch (const std::exception &e) {
        fail(e.what());
    }
    // A call that shows no prompt lets go of its kind at once, its place in
    // the queue or its turn: nobody behind it waits for its finish.
    if (!prompted)
        lock.release();
    std::unique_lock<std::mutex> held(m_mutex);
    over(held, ran, zef_last_error(), zef_last_error_kind());
}

void zef_call::over(std::unique_lock<std::mutex> &, Ran ran, const std::string &error, int kind)
{
    if (m_state == Over)
        return;
    m_ran = ran;
    m_error = error;
    m_errorKind = kind;
    m_state = Over;
    const uint64_t one = 1;
    (void)!write(m_done, &one, sizeof one);
    m_changed.notify_all();
}

bool zef_call::drop()
{
    std::lock_guard<std::mutex> held(m_mutex);
    return --m_holders == 0;
}

void zef_call::disown()
{
    if (drop())
        delete this;
}

Ran zef_call::outcome()
{
    std::unique_lock<std::mutex> held(m_mutex);
    m_changed.wait(held, [this] { return m_state == Over; });
    // What the prompt printed is this thread's to read, as its error is.
    keepOutput(run.output, run.lastLine);
    if (m_ran == Ran::Failed || m_ran == Ran::TimedOut)
        fail(m_errorKind, m_error);
    return m_ran;
}

void zef_call::cancel()
{
    watch->cancel();
    // Before its prompt starts, the call is over at once; its thread lets go
    // of what it waits for as soon as it can, and shows no prompt.
    std::unique_lock<std::mutex> held(m_mutex);
    if (m_state == Waiting)
        over(held, Ran::Cancelled, "", ZEF_E_NONE);
}

int startCall(const Kind &kind, const char *input, const zef_options *options, zef_call **call)
{
    if (!call)
        return fail(ZEF_E_INPUT, std::string("no handle to fill in for ") + kind.program);
    *call = nullptr;
    auto started = std::make_unique<zef_call>(kind);
    if (kind.prepare && kind.prepare(input, started->request) != ZEF_CHOSEN)
        return lastResult();
    if (!started->takeOptions(options))
        return lastResult();
    started->launch();
    *call = started.release();
    return ZEF_CHOSEN;
}

int finishCall(const Kind &kind, zef_call *call, const Answer &answer)
{
    const CallHandle finished(call);
    if (!call || &call->kind != &kind)
        return fail(ZEF_E_INPUT, std::string("no call of ") + kind.program + " to finish");
    // Whatever the outcome, no earlier content passes for an answer.
    if (answer.text)
        explicit_bzero(answer.text, answer.size);
    // A prompt whose answer has nowhere to go is closed.
    const std::string refused = kind.refuse(answer);
    if (!refused.empty())
        call->cancel();
    const Ran ran = call->outcome();
    if (!refused.empty())
        return fail(ZEF_E_INPUT, refused);
    // An answer handed over as the prompt was closed is none: the channel
    // wipes it as the call goes.
    if (ran == Ran::Cancelled || call->watch->cancelled()) {
        clearError();
        return ZEF_CANCELLED;
    }
    if (ran != Ran::Ended)
        return lastResult();
    const size_t handed = call->channel.handed();
    if (kind.exactly && handed != 0 && handed != kind.handOff)
        return fail(ZEF_E_PROMPT, std::string(kind.program) + " handed over " +
                                      std::to_string(handed) + " bytes, not " +
                                      std::to_string(kind.handOff));
    std::string bytes(std::min(handed, kind.handOff), '\0');
    int result = ZEF_ERROR;
    if (bytes.empty() || call->channel.take(&bytes[0], bytes.size()))
        result = kind.decode(bytes, call->request, answer);
    // The PIN's ciphertext, among others.
    explicit_bzero(&bytes[0], bytes.size());
    return result;
}

int askCall(const Kind &kind, const char *input, const zef_options *options, const Answer &answer)
{
    zef_call *call = nullptr;
    const std::string refused = kind.refuse(answer);
    const int started = refused.empty() ? startCall(kind, input, options, &call)
                                        : fail(ZEF_E_INPUT, refused);
    if (started == ZEF_CHOSEN)
        return finishCall(kind, call, answer);
    // Emptied as the finish would.
    if (answer.text)
        explicit_bzero(answer.text, answer.size);
    return started;
}
