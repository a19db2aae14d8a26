#include "poll/mutex.hpp"

namespace marovenda::poll {

bool AsyncMutex::try_acquire() noexcept {
    int expected = kUnlocked;
    return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed);
}

AsyncMutex::Lock::~Lock() {
    if (!queued_) return;
    Waker passed;
    {
        std::lock_guard g(m_->m_);
        if (node_.granted)
            passed = m_->unlock_locked();  // granted but never observed: pass it on
        else
            m_->waiters_.unlink(&node_);
    }
    passed.wake();
}

Poll<AsyncMutex::Guard> AsyncMutex::Lock::poll(Context& cx) {
    if (!queued_) {
        if (done_) return Pending{};  // already handed out its guard
        if (m_->try_acquire()) {
            done_ = true;
            return Guard(m_);
        }
        std::lock_guard g(m_->m_);
        // Mark the lock as waited for; if it came free meanwhile, take it.
        for (int s = m_->state_.load(std::memory_order_relaxed);;) {
            if (s == kUnlocked) {
                if (m_->state_.compare_exchange_weak(s, kLocked, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) {
                    done_ = true;
                    return Guard(m_);
                }
            } else if (s == kQueued ||
                       m_->state_.compare_exchange_weak(s, kQueued, std::memory_order_relaxed,
                                                        std::memory_order_relaxed)) {
                break;
            }
        }
        node_.waker = cx.waker;
        m_->waiters_.push_back(&node_);
        queued_ = true;
        return Pending{};
    }
    std::lock_guard g(m_->m_);
    if (node_.granted) {
        queued_ = false;
        done_ = true;
        return Guard(m_);
    }
    node_.waker = cx.waker;
    return Pending{};
}

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    if (!try_acquire()) return std::nullopt;
    return Guard(this);
}

void AsyncMutex::unlock() {
    int expected = kLocked;
    if (state_.compare_exchange_strong(expected, kUnlocked, std::memory_order_release, std::memory_order_relaxed))
        return;
    Waker granted;
    {
        std::lock_guard g(m_);
        granted = unlock_locked();
    }
    granted.wake();
}

Waker AsyncMutex::unlock_locked() {
    Node* first = waiters_.front();
    if (!first) {
        // Every waiter left: nobody is queued, so the lock is simply free.
        state_.store(kUnlocked, std::memory_order_release);
        return {};
    }
    waiters_.unlink(first);
    first->granted = true;  // handed over: it stays locked, kQueued
    return std::move(first->waker);
}

}  // namespace marovenda::poll
