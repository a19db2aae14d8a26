// Driving a future from an ordinary thread: the thread polls it itself and
// sleeps between wake-ups, while the runtime's workers run its timers and
// readiness waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "poll/poll.hpp"

namespace marovenda::poll {

// Wakes one parked thread; a wake before the park is not lost.
class Parker final : public Wakeable {
public:
    void wake() noexcept override {
        {
            std::lock_guard lock(mu_);
            woken_ = true;
        }
        cv_.notify_one();
    }
    // Sleeps until woken or until the deadline; clears the wake.
    void park_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mu_);
        cv_.wait_until(lock, deadline, [&] { return woken_; });
        woken_ = false;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool woken_ = false;
};

// Polls f on this thread until it is ready or `window` has passed since the
// first poll. The future is polled first at every wake-up and the window is
// consulted only when it is still pending, so a future that is ready when
// polled completes even after the window. Pending afterwards means the window
// ran out; f keeps whatever it set up.
template <class T>
Poll<T> block_on_for(Future<T>& f, asio::io_context& io, BlockingExecutor& blocking,
                     std::chrono::steady_clock::duration window) {
    auto parker = std::make_shared<Parker>();
    Context cx{Waker(parker), &io, &blocking};
    const auto end = std::chrono::steady_clock::now() + window;
    for (;;) {
        Poll<T> p = f.poll(cx);
        if (p.ready() || std::chrono::steady_clock::now() >= end) return p;
        parker->park_until(end);
    }
}

}  // namespace marovenda::poll
