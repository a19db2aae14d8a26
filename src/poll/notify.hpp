// A notifier: notify_one wakes one registered waiter or stores one permit;
// notify_waiters wakes every registered waiter and stores nothing.
//
// A waiter registers at its first poll, or earlier through enable(). A waiter
// that is destroyed after notify_one chose it, but before it observed that,
// passes the notification on (to the next waiter, or as the stored permit).
#pragma once

#include <list>
#include <memory>
#include <mutex>

#include "poll/poll.hpp"

namespace marovenda::poll {

class Notify {
    struct Node;

public:
    class Notified {
    public:
        Notified(Notified&& o) noexcept : n_(o.n_), node_(std::move(o.node_)), state_(o.state_) {}
        Notified& operator=(Notified&&) = delete;
        ~Notified();
        // Registers now, so that notifications from here on reach this waiter.
        void enable();
        Poll<void> poll(Context& cx);

    private:
        friend Notify;
        enum class State { Init, Waiting, Done };
        explicit Notified(Notify* n) : n_(n), node_(std::make_unique<Node>()) {}
        void register_locked();

        Notify* n_;
        std::unique_ptr<Node> node_;
        State state_ = State::Init;
    };

    Notify() = default;
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    Notified notified() { return Notified(this); }
    void notify_one();
    void notify_waiters();
    // Held across fork() by the port that owns this, so a child never
    // inherits it locked by a thread it does not have.
    void lock_for_fork() { m_.lock(); }
    void unlock_after_fork() { m_.unlock(); }

private:
    enum class Got { Nothing, One, All };
    struct Node {
        Waker waker;
        Got got = Got::Nothing;
        bool linked = false;
        std::list<Node*>::iterator where;
    };
    void notify_one_locked();

    std::mutex m_;
    std::list<Node*> waiters_;
    bool permit_ = false;
};

}  // namespace marovenda::poll
