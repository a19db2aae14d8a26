// A notifier: notify_one wakes one registered waiter or stores one permit;
// notify_waiters wakes every registered waiter and stores nothing.
//
// A waiter registers at its first poll, or earlier through enable(). A waiter
// that is destroyed after notify_one chose it, but before it observed that,
// passes the notification on (to the next waiter, or as the stored permit).
//
// A wake means "look", not "it happened": a waiter whose condition is
// guarded elsewhere tests it after the wake, and rearms when it does not
// hold (registered again before that test, so no later notification is
// missed).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "poll/poll.hpp"
#include "poll/waiter_list.hpp"

namespace marovenda::poll {

class Notify {
    enum class Got { Nothing, One, All };
    // A waiter's place in the queue, inside the waiter itself: registering
    // allocates nothing.
    struct Node {
        Waker waker;
        Got got = Got::Nothing;
        bool linked = false;
        Node* prev = nullptr;
        Node* next = nullptr;
    };

public:
    class Notified {
    public:
        // Not movable: once registered, the queue points into it. notified()
        // returns a prvalue, which initialises the waiter in place.
        Notified(Notified&&) = delete;
        Notified& operator=(Notified&&) = delete;
        ~Notified();
        // Registers now, so that notifications from here on reach this waiter.
        void enable();
        // After a poll returned Ready: waits again, registered at once. A
        // waiter that is waiting already stays as it is.
        void rearm();
        Poll<void> poll(Context& cx);

    private:
        friend Notify;
        enum class State { Init, Waiting, Done };
        explicit Notified(Notify* n) noexcept : n_(n) {}
        void register_locked();

        Notify* n_;
        Node node_;
        State state_ = State::Init;
    };

    Notify() = default;
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    Notified notified() { return Notified(this); }
    void notify_one();
    void notify_waiters();
    // Whether a permit is stored now. A hint for a caller that would rather
    // not race for it: read without the lock, so it may be stale at once.
    bool has_permit() const noexcept { return permit_.load(std::memory_order_acquire); }
    // Held across fork() by the port that owns this, so a child never
    // inherits it locked by a thread it does not have.
    void lock_for_fork() { m_.lock(); }
    void unlock_after_fork() { m_.unlock(); }

private:
    // Chooses the first waiter, or stores the permit; the chosen waiter's
    // waker, to be woken once the lock is released.
    Waker notify_one_locked();

    std::mutex m_;
    WaiterList<Node> waiters_;
    std::atomic<bool> permit_{false};  // written under m_ only
};

}  // namespace marovenda::poll
