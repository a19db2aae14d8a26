#include "poll/sleep.hpp"

#include <asio.hpp>
#include <mutex>

namespace marovenda::poll {

struct Sleep::Armed {
    explicit Armed(asio::io_context& io) : timer(io) {}
    asio::steady_timer timer;  // used only by the Sleep's owner, never by the handler
    std::mutex m;
    Waker waker;
    bool fired = false;
};

Sleep::Sleep(std::optional<Instant> deadline) noexcept : deadline_(deadline) {}
Sleep::Sleep(Sleep&&) noexcept = default;

Sleep::~Sleep() {
    if (armed_) armed_->timer.cancel();
}

Poll<void> Sleep::poll(Context& cx) {
    if (!deadline_) return Pending{};
    if (Clock::now() >= *deadline_) return ready();
    if (!armed_) {
        // The poller comes back by its horizon anyway: arm only when due sooner.
        if (const auto horizon = cx.horizon.get(); horizon && *deadline_ >= *horizon) return Pending{};
        armed_ = std::make_shared<Armed>(*cx.io);
        armed_->waker = cx.waker;
        armed_->timer.expires_at(*deadline_);
        armed_->timer.async_wait([a = std::weak_ptr<Armed>(armed_)](const asio::error_code& ec) {
            if (ec) return;
            auto armed = a.lock();
            if (!armed) return;
            Waker w;
            {
                std::lock_guard g(armed->m);
                armed->fired = true;
                w = armed->waker;
            }
            w.wake();
        });
        return Pending{};
    }
    std::lock_guard g(armed_->m);
    if (armed_->fired) return ready();
    armed_->waker = cx.waker;
    return Pending{};
}

}  // namespace marovenda::poll
