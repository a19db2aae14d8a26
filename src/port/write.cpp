// The output side: writes in their three timeout modes, the output drain and
// the break. Drain and the precise end of a break block a thread, so they run
// on the blocking pool.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "poll/blocking.hpp"
#include "port/port.hpp"

namespace marovenda::port {

namespace {

std::span<const std::uint8_t> as_span(const Bytes& b) {
    return {reinterpret_cast<const std::uint8_t*>(b.data()), b.size()};
}

SerialError timed_out() { return SerialError::timeout("Write timeout"); }

}  // namespace

WritePlan PortCore::write_plan(PortCore& core, WriteLimit limit) {
    WritePlan plan;
    if (limit == WriteLimit::WriteTimeout) {
        const auto wt = core.settings().write_timeout;
        if (wt && wt->is_zero()) {
            plan.mode = WritePlan::Mode::Zero;
        } else if (wt) {
            plan.deadline = deadline_after(timeouts::duration(wt));
            if (plan.deadline) plan.mode = WritePlan::Mode::Deadline;
        }
    }
    return plan;
}

Result<std::size_t> PortCore::detach_rest(PortCore& core, Session session, std::size_t written) {
    auto detached =
        core.with_backend_in(session, [](backend::Backend& b) { return Result<std::size_t>(b.detach_write()); });
    if (!detached) return std::move(detached).error();
    return written + detached.value();
}

poll::Task<Result<std::size_t>> PortCore::write_loop(PortCore& core, Session session,
                                                     std::span<const std::uint8_t> data, WriteLimit limit,
                                                     std::size_t written, std::optional<WritePlan> plan) {
    using Mode = WritePlan::Mode;
    CancelWrite cancel_on_exit(core, session);  // runs before the lock is released
    if (!plan) plan = write_plan(core, limit);
    const Mode mode = plan->mode;
    auto cancel = core.cancel_write_.notified();  // one waiter for the whole write
    poll::Proceed proceed;
    while (written < data.size()) {
        co_await proceed;  // a device that keeps taking bytes does not hold one poll
        WriteSome device{&core, session, data.subspan(written)};
        std::optional<Result<std::size_t>> done;
        if (mode == Mode::Zero) {
            poll::PollOnce attempt(device);
            auto got = co_await attempt;
            if (!got) co_return detach_rest(core, session, written);
            done.emplace(std::move(*got));
        } else if (mode == Mode::Deadline) {
            poll::Timeout bounded(device, plan->deadline);
            poll::Select race(bounded, cancel);
            auto won = co_await race;
            if (won.index() == 1) co_return written;
            auto got = std::get<0>(std::move(won));
            if (!got) co_return timed_out();
            done.emplace(std::move(*got));
        } else if (limit == WriteLimit::None) {
            auto got = co_await device;
            done.emplace(std::move(got));
        } else {
            poll::Select race(device, cancel);
            auto won = co_await race;
            if (won.index() == 1) co_return written;
            done.emplace(std::get<0>(std::move(won)));
        }
        if (!*done) co_return std::move(*done).error();
        if (done->value() == 0) co_return written;
        written += done->value();
    }
    co_return written;
}

poll::Task<Result<std::size_t>> PortCore::write_whole(std::shared_ptr<PortCore> core, Bytes data,
                                                      WriteLimit limit) {
    auto lock = core->write_lock_.lock();
    auto held = co_await lock;
    auto body = until_closed(
        *core, [&](Session s) { return write_loop(*core, s, as_span(data), limit, 0, std::nullopt); });
    auto r = co_await body;
    co_return std::move(r);
}

poll::Task<Result<std::size_t>> PortCore::write_rest(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                                     Session session, Bytes data, WriteLimit limit,
                                                     std::size_t written, WritePlan plan) {
    auto guard = std::move(held);  // released after the body, as write_whole's
    if (auto seam = after_attempt.load(std::memory_order_relaxed)) seam(*core);
    auto body = until_closed(
        *core, [&](Session s) { return write_loop(*core, s, as_span(data), limit, written, plan); }, session);
    auto r = co_await body;
    co_return std::move(r);
}

poll::Poll<Result<std::size_t>> PortCore::write_first(WriteFuture& f, poll::Context& cx) {
    const std::shared_ptr<PortCore>& core = f.core_;
    PortCore& c = *core;
    Bytes& data = f.data_;
    const WriteLimit limit = f.limit_;
    // An empty write still fails on a closed port, and a stored cancel is a
    // race with the device: the whole operation runs those.
    const bool cancel_stored = limit == WriteLimit::WriteTimeout && c.cancel_write_.has_permit();
    auto held = !data.empty() && !cancel_stored ? c.write_lock_.try_lock() : std::nullopt;
    if (!held) {
        f.rest_.emplace(write_whole(core, std::move(data), limit));
        return f.rest_->poll(cx);
    }
    Session session;
    auto p = c.poll_write_first(cx, as_span(data), session);
    std::size_t written = 0;
    if (p.ready()) {
        const Result<std::size_t>& r = p.value();
        if (!r) {
            {
                CancelWrite told(c, session);  // as the loop's, before a disconnect closes the port
            }
            c.close_if_disconnected(r.error(), session);
            f.finished_.set();
            return p;
        }
        if (r.value() == 0 || r.value() == data.size()) {  // the device was told
            f.finished_.set();
            return p;
        }
        written = r.value();
    }
    // The plan's deadline counts from here, one device poll after the lock
    // was taken. A write the device could not take at all ends here when
    // its plan allows no wait: that poll was the only one it may make.
    const WritePlan plan = write_plan(c, limit);
    const bool zero = plan.mode == WritePlan::Mode::Zero;
    if (p.pending() && (zero || (plan.mode == WritePlan::Mode::Deadline && passed(plan.deadline)))) {
        CancelWrite told(c, session);
        f.finished_.set();
        return zero ? detach_rest(c, session, 0) : Result<std::size_t>(timed_out());
    }
    f.rest_.emplace(write_rest(core, std::move(*held), session, std::move(data), limit, written, plan));
    return f.rest_->poll(cx);
}

poll::Poll<Result<std::size_t>> WriteFuture::poll(poll::Context& cx) {
    if (rest_) return rest_->poll(cx);  // a Task: it checks for itself that it is not polled when done
    finished_.check();
    return PortCore::write_first(*this, cx);
}

WriteFuture PortCore::write(std::shared_ptr<PortCore> core, Bytes data, WriteLimit limit) {
    return WriteFuture(std::move(core), std::move(data), limit);
}

poll::Task<Result<void>> PortCore::drain(PortCore& core, Session session) {
    auto handle = core.with_backend_in(session, [](backend::Backend& b) { return b.drain_handle(); });
    if (!handle) co_return std::move(handle).error();
    if (!handle.value().fd()) co_return Result<void>();
    // The job alone owns the descriptor: it is closed after tcdrain, or with
    // the job if the pool never runs it, and never waits for this operation.
    auto owned = std::make_shared<backend::Drain>(std::move(handle).value());
    poll::Blocking<void> job([owned = std::move(owned)]() mutable -> Result<void> {
        const int r = ::tcdrain(*owned->fd());
        const int e = errno;
        owned.reset();
        if (r != 0) return SerialError::from_errno(e);
        return {};
    });
    auto r = co_await job;
    co_return std::move(r);
}

poll::Task<Result<void>> PortCore::flush(std::shared_ptr<PortCore> core) {
    return holding(core, core->write_lock_, [&c = *core](Session s) { return drain(c, s); });
}

poll::Task<Result<void>> PortCore::break_locked(PortCore& core, Session session, Duration duration) {
    auto on = core.set_break_in(session);
    if (!on) co_return std::move(on).error();
    BreakGuard guard(core, on.value());
    const auto start = poll::Clock::now();
    const Duration first = saturating_sub(duration, Duration::from_millis(5));
    if (!first.is_zero()) {
        poll::Sleep sleep(deadline_at(start, first));
        co_await sleep;
    }
    // The last part is timed by a thread sleep, more precise than the timer.
    const Duration rest = saturating_sub(duration, elapsed_since(start));
    const auto rest_ns = std::chrono::nanoseconds(
        static_cast<std::int64_t>(std::min<unsigned __int128>(rest.total_nanos(), INT64_MAX)));
    poll::Blocking<void> tail([rest_ns]() -> Result<void> {
        std::this_thread::sleep_for(rest_ns);
        return {};
    });
    auto slept = co_await tail;
    if (!slept) co_return std::move(slept);  // the guard clears the break
    guard.disarm();
    co_return core.clear_break_in(on.value());
}

poll::Task<Result<void>> PortCore::send_break(std::shared_ptr<PortCore> core, Duration duration) {
    return holding(core, core->write_lock_,
                   [&c = *core, duration](Session s) { return break_locked(c, s, duration); });
}

}  // namespace marovenda::port
