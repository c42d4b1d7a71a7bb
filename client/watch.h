// The watch over a call's prompt: the end of its process (its pidfd),
// the call's deadline and a cancel from any thread, whichever comes first.
#pragma once

#include "settings.h"

#include <atomic>
#include <functional>
#include <optional>

// Whether deadline (if any) has passed.
bool passed(const std::optional<Clock::time_point> &deadline);

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
