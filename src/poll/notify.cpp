#include "poll/notify.hpp"

namespace marovenda::poll {

Notify::Notified::~Notified() {
    if (!node_ || state_ != State::Waiting) return;
    std::lock_guard g(n_->m_);
    if (node_->linked) n_->waiters_.erase(node_->where);
    if (node_->got == Got::One) n_->notify_one_locked();  // chosen but never observed
}

void Notify::Notified::register_locked() {
    state_ = State::Waiting;
    if (n_->permit_) {
        n_->permit_ = false;
        node_->got = Got::One;
        return;
    }
    node_->linked = true;
    node_->where = n_->waiters_.insert(n_->waiters_.end(), node_.get());
}

void Notify::Notified::enable() {
    std::lock_guard g(n_->m_);
    if (state_ == State::Init) register_locked();
}

Poll<void> Notify::Notified::poll(Context& cx) {
    std::lock_guard g(n_->m_);
    if (state_ == State::Init) register_locked();
    if (state_ == State::Done) return ready();
    if (node_->got != Got::Nothing) {
        state_ = State::Done;
        return ready();
    }
    node_->waker = cx.waker;
    return Pending{};
}

void Notify::notify_one() {
    std::lock_guard g(m_);
    notify_one_locked();
}

void Notify::notify_one_locked() {
    if (waiters_.empty()) {
        permit_ = true;
        return;
    }
    Node* head = waiters_.front();
    waiters_.pop_front();
    head->linked = false;
    head->got = Got::One;
    head->waker.wake();
}

void Notify::notify_waiters() {
    std::lock_guard g(m_);
    for (Node* n : waiters_) {
        n->linked = false;
        n->got = Got::All;
        n->waker.wake();
    }
    waiters_.clear();
}

}  // namespace marovenda::poll
