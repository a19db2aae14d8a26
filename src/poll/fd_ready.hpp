// Readiness of a non-blocking descriptor, from the reactor.
//
// This only waits: it never reads or writes. A device poll tries its
// non-blocking call first and, on EAGAIN, clears the readiness and polls it,
// which arms a reactor wait that wakes the context when the descriptor turns
// ready. Calls on one FdReady must not overlap (the port core's backend lock
// serialises them); the wake-ups may come from any thread.
#pragma once

#include <memory>

#include "poll/poll.hpp"

namespace marovenda::poll {

class FdReady {
public:
    enum class Direction { Read, Write };

    // Watches fd on io; fd stays owned by the caller and is not closed here.
    FdReady(asio::io_context& io, int fd);
    FdReady(const FdReady&) = delete;
    FdReady& operator=(const FdReady&) = delete;
    ~FdReady();

    // Ready while the direction is marked ready; otherwise arranges for
    // cx.waker to be woken when it becomes ready.
    Poll<void> poll_ready(Direction d, Context& cx);
    // After a call that would block: the direction is no longer ready.
    void clear_ready(Direction d);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace marovenda::poll
