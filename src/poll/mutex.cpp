#include "poll/mutex.hpp"

namespace marovenda::poll {

AsyncMutex::Lock::~Lock() {
    if (!node_) return;
    std::lock_guard g(m_->m_);
    if (node_->granted)
        m_->unlock_locked();  // granted but never observed: pass it on
    else
        m_->queue_.erase(node_->where);
}

Poll<AsyncMutex::Guard> AsyncMutex::Lock::poll(Context& cx) {
    std::lock_guard g(m_->m_);
    if (!node_) {
        if (!done_ && !m_->locked_) {
            m_->locked_ = true;
            done_ = true;
            return Guard(m_);
        }
        node_ = std::make_unique<Node>();
        node_->waker = cx.waker;
        node_->where = m_->queue_.insert(m_->queue_.end(), node_.get());
        return Pending{};
    }
    if (node_->granted) {
        node_.reset();
        done_ = true;
        return Guard(m_);
    }
    node_->waker = cx.waker;
    return Pending{};
}

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    std::lock_guard g(m_);
    if (locked_) return std::nullopt;
    locked_ = true;
    return Guard(this);
}

bool AsyncMutex::is_locked() {
    std::lock_guard g(m_);
    return locked_;
}

void AsyncMutex::unlock() {
    std::lock_guard g(m_);
    unlock_locked();
}

void AsyncMutex::unlock_locked() {
    if (queue_.empty()) {
        locked_ = false;
        return;
    }
    Node* head = queue_.front();
    queue_.pop_front();
    head->granted = true;
    head->waker.wake();
}

}  // namespace marovenda::poll
