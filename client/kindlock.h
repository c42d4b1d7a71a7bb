// The hold of a call on its kind, so that a user sees one prompt of a kind
// at a time: the turn among this process's threads, then the lock file in
// the user's runtime folder, against the calls of other processes.
#pragma once

#include "settings.h"
#include "watch.h"

#include <condition_variable>
#include <deque>
#include <mutex>

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
