#include "poll/notify.hpp"

#include <utility>

namespace marovenda::poll {

Notify::Notified::~Notified() {
    if (state_ != State::Waiting) return;
    Waker passed;
    {
        std::lock_guard g(n_->m_);
        if (node_.linked) n_->waiters_.unlink(&node_);
        if (node_.got == Got::One) passed = n_->notify_one_locked();  // chosen but never observed
    }
    passed.wake();
}

void Notify::Notified::register_locked() {
    state_ = State::Waiting;
    if (n_->permit_.load(std::memory_order_relaxed)) {
        n_->permit_.store(false, std::memory_order_relaxed);
        node_.got = Got::One;
        return;
    }
    n_->waiters_.push_back(&node_);
}

void Notify::Notified::enable() {
    std::lock_guard g(n_->m_);
    if (state_ == State::Init) register_locked();
}

void Notify::Notified::rearm() {
    std::lock_guard g(n_->m_);
    if (state_ == State::Waiting) return;  // still registered
    node_.got = Got::Nothing;  // observed, so nothing is left to pass on
    node_.waker = Waker();
    register_locked();
}

Poll<void> Notify::Notified::poll(Context& cx) {
    std::lock_guard g(n_->m_);
    if (state_ == State::Init) register_locked();
    if (state_ == State::Done) return ready();
    if (node_.got != Got::Nothing) {
        state_ = State::Done;
        return ready();
    }
    node_.waker = cx.waker;
    return Pending{};
}

void Notify::notify_one() {
    Waker chosen;
    {
        std::lock_guard g(m_);
        chosen = notify_one_locked();
    }
    chosen.wake();
}

Waker Notify::notify_one_locked() {
    if (!waiters_.front()) {
        permit_.store(true, std::memory_order_release);
        return {};
    }
    Node* first = waiters_.front();
    waiters_.unlink(first);
    first->got = Got::One;
    return std::move(first->waker);
}

void Notify::notify_waiters() {
    std::vector<Waker> woken;
    {
        std::lock_guard g(m_);
        while (Node* n = waiters_.front()) {
            waiters_.unlink(n);
            n->got = Got::All;
            woken.push_back(std::move(n->waker));
        }
    }
    for (const Waker& w : woken) w.wake();
}

}  // namespace marovenda::poll
