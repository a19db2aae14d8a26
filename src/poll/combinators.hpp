// Combinators over pollables (see task.hpp): an unbiased race of two, a
// deadline around one, one single attempt, and a place to give way. They hold
// references: the pollables they combine must outlive them.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "poll/sleep.hpp"
#include "poll/task.hpp"

namespace marovenda::poll {

// A fair coin, thread-local, seeded once per thread.
bool coin_flip() noexcept;

// Ready with the first side found ready. Which side is polled first is chosen
// at random on every poll, so neither wins systematically when both are ready.
// The losing side is not polled again by this Select.
template <Pollable A, Pollable B>
class Select {
public:
    using Output = std::variant<stored_t<output_t<A>>, stored_t<output_t<B>>>;
    Select(A& a, B& b) noexcept : a_(a), b_(b) {}

    Poll<Output> poll(Context& cx) {
        if (coin_flip()) {
            if (auto v = poll_value(a_, cx)) return Output(std::in_place_index<0>, std::move(*v));
            if (auto v = poll_value(b_, cx)) return Output(std::in_place_index<1>, std::move(*v));
        } else {
            if (auto v = poll_value(b_, cx)) return Output(std::in_place_index<1>, std::move(*v));
            if (auto v = poll_value(a_, cx)) return Output(std::in_place_index<0>, std::move(*v));
        }
        return Pending{};
    }

private:
    A& a_;
    B& b_;
};

// Ready with f's value, or with nothing once the deadline has passed. f is
// polled before the timer, so a value ready at the deadline is still taken.
template <Pollable F>
class Timeout {
public:
    using Output = std::optional<stored_t<output_t<F>>>;
    Timeout(F& f, std::optional<Instant> deadline) noexcept : f_(f), sleep_(deadline) {}

    Poll<Output> poll(Context& cx) {
        if (auto v = poll_value(f_, cx)) return Output(std::move(*v));
        if (sleep_.poll(cx).ready()) return Output(std::nullopt);
        return Pending{};
    }

private:
    F& f_;
    Sleep sleep_;
};

// One attempt: always ready, with f's value if that single poll of f was
// ready. What f registered with the context stays registered.
template <Pollable F>
class PollOnce {
public:
    using Output = std::optional<stored_t<output_t<F>>>;
    explicit PollOnce(F& f) noexcept : f_(f) {}
    Poll<Output> poll(Context& cx) { return Output(poll_value(f_, cx)); }

private:
    F& f_;
};

// Where a loop may give way: ready while the poll's budget lasts, spending
// one unit; once it is spent, the loop's task is woken and this is pending,
// so the poll returns and the next one, with a new budget, goes on from here.
// Nothing is taken from a device here, so giving way loses nothing.
struct Proceed {
    Poll<void> poll(Context& cx) noexcept {
        if (cx.budget.spend()) return ready();
        cx.waker.wake();
        return Pending{};
    }
};

}  // namespace marovenda::poll
