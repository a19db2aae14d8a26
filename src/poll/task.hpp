// Operation bodies as lazy coroutines, polled by their owner.
//
// A Task does nothing until it is polled. Inside it, `co_await f` on anything
// with `Poll<R> poll(Context&)` (a leaf future, a combinator or another Task)
// polls f with the owner's Context; when f is pending the Task suspends and its
// own poll returns Pending, and the next poll of the Task polls f again before
// resuming the body. The frame lives on the heap and never moves, so leaves may
// hand out pointers into it. Destroying a Task destroys its frame: locals and
// awaited objects run their destructors, which is how an operation is dropped.
//
// Only lvalues may be awaited: name what you await, so its lifetime is plain.
#pragma once

#include <cassert>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "poll/frame_pool.hpp"
#include "poll/poll.hpp"

namespace marovenda::poll {

template <class F>
concept Pollable = requires(F& f, Context& cx) { f.poll(cx); };

namespace detail {
template <class P>
struct PollInner;
template <class R>
struct PollInner<Poll<R>> {
    using type = R;
};
}  // namespace detail

// R for a pollable whose poll returns Poll<R>.
template <Pollable F>
using output_t = typename detail::PollInner<decltype(std::declval<F&>().poll(std::declval<Context&>()))>::type;

// R, or std::monostate where R is void, so that every result can be stored.
template <class R>
using stored_t = std::conditional_t<std::is_void_v<R>, std::monostate, R>;

// Polls f once; the value when it is ready.
template <Pollable F>
std::optional<stored_t<output_t<F>>> poll_value(F& f, Context& cx) {
    auto p = f.poll(cx);
    if (p.pending()) return std::nullopt;
    if constexpr (std::is_void_v<output_t<F>>) {
        return std::monostate{};
    } else {
        return std::optional<stored_t<output_t<F>>>(std::move(p).value());
    }
}

namespace detail {

struct PromiseBase {
    Context* cx = nullptr;
    // What the body is suspended on: polled again first by the next poll.
    bool (*repoll)(void*, Context&) = nullptr;
    void* awaited = nullptr;
    std::exception_ptr error;

    static void* operator new(std::size_t size) { return frame_alloc(size); }
    static void operator delete(void* p, std::size_t size) noexcept { frame_free(p, size); }

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }

    template <Pollable F>
    struct Awaiter {
        F& f;
        PromiseBase* promise;
        std::optional<stored_t<output_t<F>>> out;

        bool await_ready() { return take(f, *promise->cx); }
        void await_suspend(std::coroutine_handle<>) noexcept {
            promise->awaited = this;
            promise->repoll = &Awaiter::again;
        }
        static bool again(void* self, Context& cx) {
            auto* a = static_cast<Awaiter*>(self);
            return a->take(a->f, cx);
        }
        bool take(F& from, Context& cx) {
            auto v = poll_value(from, cx);
            if (!v) return false;
            out.emplace(std::move(*v));
            return true;
        }
        decltype(auto) await_resume() {
            if constexpr (std::is_void_v<output_t<F>>) {
                return;
            } else {
                return output_t<F>(std::move(*out));
            }
        }
    };

    template <Pollable F>
    Awaiter<F> await_transform(F& f) noexcept {
        return Awaiter<F>{f, this, std::nullopt};
    }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
public:
    static_assert(!std::is_void_v<T>, "a Task returns a value; use Result<void> for none");

    using value_type = T;

    struct promise_type : detail::PromiseBase {
        std::optional<T> value;
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        template <class U>
        void return_value(U&& v) {
            value.emplace(std::forward<U>(v));
        }
    };

    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    // Polls the body; an exception escaping the body is rethrown here, after
    // which the Task must only be destroyed.
    Poll<T> poll(Context& cx) {
        assert(h_ && !h_.done() && "a future is not polled after it returned Ready");
        auto& p = h_.promise();
        if (p.repoll) {
            if (!p.repoll(p.awaited, cx)) return Pending{};
            p.repoll = nullptr;
        }
        p.cx = &cx;
        h_.resume();
        p.cx = nullptr;
        if (p.error) std::rethrow_exception(std::exchange(p.error, nullptr));
        if (h_.done()) return Poll<T>(std::move(*p.value));
        return Pending{};
    }

private:
    explicit Task(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}
    void reset() noexcept {
        if (h_) h_.destroy();
        h_ = {};
    }
    std::coroutine_handle<promise_type> h_;
};

// A Task as the runtime's type-erased future.
template <class T>
class TaskFuture final : public Future<T> {
public:
    explicit TaskFuture(Task<T> task) : task_(std::move(task)) {}
    Poll<T> poll(Context& cx) override { return task_.poll(cx); }

private:
    Task<T> task_;
};

template <class T>
BoxFuture<T> boxed(Task<T> task) {
    return std::make_unique<TaskFuture<T>>(std::move(task));
}

// A pollable (a Task, or an operation's own future) whose value convert turns
// into a T, as the runtime's type-erased future: the conversion needs no
// coroutine of its own.
template <class T, Pollable F, class Convert>
class MappedFuture final : public Future<T> {
public:
    MappedFuture(F&& f, Convert convert) : f_(std::move(f)), convert_(std::move(convert)) {}
    Poll<T> poll(Context& cx) override {
        auto p = f_.poll(cx);
        if (p.pending()) return Pending{};
        return Poll<T>(convert_(std::move(p).value()));
    }

private:
    F f_;
    Convert convert_;
};

template <class T, Pollable F, class Convert>
    requires(!std::is_reference_v<F>)
BoxFuture<T> boxed(F&& f, Convert convert) {
    return std::make_unique<MappedFuture<T, F, Convert>>(std::move(f), std::move(convert));
}

}  // namespace marovenda::poll
