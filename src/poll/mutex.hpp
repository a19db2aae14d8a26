// An asynchronous mutex without data: one holder, waiters served in arrival order.
//
// Unlocking hands the lock straight to the head waiter (it stays locked), so a
// newcomer can never overtake the queue. A waiter that is destroyed after it
// was granted the lock but before it observed that passes the lock on.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <optional>

#include "poll/poll.hpp"

namespace marovenda::poll {

class AsyncMutex {
    struct Node;

public:
    // Holding the lock; destroying it unlocks.
    class Guard {
    public:
        Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (m_) m_->unlock();
        }

    private:
        friend AsyncMutex;
        explicit Guard(AsyncMutex* m) noexcept : m_(m) {}
        AsyncMutex* m_;
    };

    // The future of acquiring the lock; it queues at its first poll.
    class Lock {
    public:
        Lock(Lock&& o) noexcept : m_(o.m_), node_(std::move(o.node_)), done_(o.done_) {}
        Lock& operator=(Lock&&) = delete;
        ~Lock();
        Poll<Guard> poll(Context& cx);

    private:
        friend AsyncMutex;
        explicit Lock(AsyncMutex* m) noexcept : m_(m) {}
        AsyncMutex* m_;
        std::unique_ptr<Node> node_;
        bool done_ = false;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    Lock lock() noexcept { return Lock(this); }
    std::optional<Guard> try_lock();
    bool is_locked();
    // Held across fork() by the port that owns this, so a child never
    // inherits it locked by a thread it does not have.
    void lock_for_fork() { m_.lock(); }
    void unlock_after_fork() { m_.unlock(); }

private:
    struct Node {
        Waker waker;
        bool granted = false;
        std::list<Node*>::iterator where;
    };
    void unlock();
    void unlock_locked();

    std::mutex m_;
    bool locked_ = false;
    std::list<Node*> queue_;
};

}  // namespace marovenda::poll
