// The waiter queue of Notify and AsyncMutex: a doubly linked list threaded
// through nodes that live inside the waiters, so queuing allocates nothing.
// A node has prev, next and linked; the owner's lock guards the list.
#pragma once

namespace marovenda::poll {

template <class Node>
class WaiterList {
public:
    Node* front() const noexcept { return head_; }

    void push_back(Node* n) noexcept {
        n->linked = true;
        n->next = nullptr;
        n->prev = tail_;
        (tail_ ? tail_->next : head_) = n;
        tail_ = n;
    }

    void unlink(Node* n) noexcept {
        (n->prev ? n->prev->next : head_) = n->next;
        (n->next ? n->next->prev : tail_) = n->prev;
        n->prev = n->next = nullptr;
        n->linked = false;
    }

private:
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
};

}  // namespace marovenda::poll
