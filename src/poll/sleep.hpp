// Waiting for a point in time on the reactor's timer.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "poll/poll.hpp"

namespace asio {
template <typename Clock, typename WaitTraits, typename Executor>
class basic_waitable_timer;
}

namespace marovenda::poll {

// The monotonic clock that every deadline is measured on.
using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// Ready once the deadline has passed; an absent deadline never passes. The
// timer is armed on Context::io at the first poll that finds the deadline
// still ahead, so a Sleep must be destroyed before that io_context.
class Sleep {
public:
    explicit Sleep(std::optional<Instant> deadline) noexcept;
    Sleep(Sleep&&) noexcept;
    Sleep& operator=(Sleep&&) = delete;
    ~Sleep();
    Poll<void> poll(Context& cx);

private:
    struct Armed;
    std::optional<Instant> deadline_;
    std::shared_ptr<Armed> armed_;
};

}  // namespace marovenda::poll
