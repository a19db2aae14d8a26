// An asynchronous mutex without data: one holder, waiters served in arrival order.
//
// Unlocking hands the lock straight to the head waiter (it stays locked), so a
// newcomer can never overtake the queue. A waiter that is destroyed after it
// was granted the lock but before it observed that passes the lock on.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "poll/poll.hpp"
#include "poll/waiter_list.hpp"

namespace marovenda::poll {

class AsyncMutex {
    // A waiter's place in the queue, inside the waiter itself.
    struct Node {
        Waker waker;
        bool granted = false;
        bool linked = false;
        Node* prev = nullptr;
        Node* next = nullptr;
    };

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

    // The future of acquiring the lock; it queues at its first poll. Not
    // movable: once queued, the queue points into it.
    class Lock {
    public:
        Lock(Lock&&) = delete;
        Lock& operator=(Lock&&) = delete;
        ~Lock();
        Poll<Guard> poll(Context& cx);

    private:
        friend AsyncMutex;
        explicit Lock(AsyncMutex* m) noexcept : m_(m) {}
        AsyncMutex* m_;
        Node node_;
        bool queued_ = false;
        bool done_ = false;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    Lock lock() noexcept { return Lock(this); }
    std::optional<Guard> try_lock();
    bool is_locked() const noexcept { return state_.load(std::memory_order_acquire) != kUnlocked; }
    // Held across fork() by the port that owns this, so a child never
    // inherits it locked by a thread it does not have.
    void lock_for_fork() { m_.lock(); }
    void unlock_after_fork() { m_.unlock(); }

private:
    // Uncontended, taking and releasing the lock is one atomic operation
    // each; the queue and its mutex are touched only once someone waits.
    // kQueued: locked, and the queue may hold waiters, so an unlock goes
    // through the queue and hands the lock to its head.
    static constexpr int kUnlocked = 0, kLocked = 1, kQueued = 2;
    bool try_acquire() noexcept;
    void unlock();
    // With m_ held: hands the lock to the head waiter, or releases it.
    Waker unlock_locked();

    std::atomic<int> state_{kUnlocked};
    std::mutex m_;
    WaiterList<Node> waiters_;
};

}  // namespace marovenda::poll
