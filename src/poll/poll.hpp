// The poll model every operation is written in.
//
// An operation is polled by its owner with a Context. It returns Ready with its
// value, or Pending after arranging for Context::waker to be woken when it may
// make progress. Destroying a pending future is how it is dropped: its
// destructor must undo whatever it holds (locks, queue places) and pass on any
// permit or grant it had been given but not yet observed.
//
// The contract:
// - A future is not polled again after it returned Ready (a Task would resume
//   a finished coroutine); Task and the port's futures assert it in debug
//   builds.
// - A poll is bounded: loops that keep finding work spend the Context's
//   budget and give way when it runs out (Proceed), so whoever waits for a
//   poll to return (an abort) waits briefly.
// - Waking only schedules a new poll and never polls inline, and every
//   Wakeable's wake() takes only a leaf lock (a task's own, a parker's), so a
//   waker may be called with any other lock held.
// - Lock order, outermost first: an operation's async lock (a port's read or
//   write lock, held across suspensions); the port's backend lock; then the
//   port's state lock, a device's own lock (the loopback's), or the internal
//   lock of a notifier or an async mutex; then the locks inside wakers. No
//   lock is taken while one later in this order is held.
#pragma once

#include <cassert>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "poll/frame_pool.hpp"

namespace asio {
class io_context;
}

namespace marovenda::poll {

// What a waker wakes: a task on an executor, a blocked thread, or nothing.
class Wakeable {
public:
    virtual ~Wakeable() = default;
    virtual void wake() noexcept = 0;
};

// A cheap, copyable, thread-safe handle; the empty waker does nothing.
class Waker {
public:
    Waker() = default;
    explicit Waker(std::shared_ptr<Wakeable> target) noexcept : target_(std::move(target)) {}
    void wake() const noexcept {
        if (target_) target_->wake();
    }
    // True when waking either would schedule the same poll.
    bool is_noop() const noexcept { return !target_; }

private:
    std::shared_ptr<Wakeable> target_;
};

// Where calls that block a thread (tcdrain, the tail of a break) run. The
// runtime installs its blocking pool; tests install their own.
class BlockingExecutor {
public:
    virtual ~BlockingExecutor() = default;
    // Runs job on some other thread; false when that cannot be arranged.
    virtual bool execute(std::function<void()> job) noexcept = 0;
};

// A thread that drives a future itself and can wait on descriptors in its
// own sleep: a call that would block registers its descriptor here instead of
// with the reactor, so a readiness costs one wake-up of that thread rather
// than a reactor wake on a worker followed by a wake of the thread.
class FdWaiter {
public:
    virtual ~FdWaiter() = default;
    // Wake the driving thread when fd has one of events (POLLIN, POLLOUT);
    // for the next sleep only.
    virtual void watch(int fd, short events) noexcept = 0;
};

// When a poller will poll again by itself at the latest: never said, a time,
// or a window that starts when first asked. A thread driving an operation for
// a bounded window gives the window, so an operation that finishes without
// asking (no timer polled) costs no clock read for it.
class Horizon {
public:
    using Time = std::chrono::steady_clock::time_point;
    Horizon() = default;
    Horizon(Time at) noexcept : at_(at) {}
    static Horizon after(std::chrono::steady_clock::duration window) noexcept {
        Horizon h;
        h.window_ = window;
        return h;
    }
    void reset() noexcept { *this = Horizon(); }
    std::optional<Time> get() noexcept {
        if (window_) {
            at_ = std::chrono::steady_clock::now() + *window_;
            window_.reset();
        }
        return at_;
    }

private:
    std::optional<Time> at_;
    std::optional<std::chrono::steady_clock::duration> window_;
};

// How much one poll may do: a loop that keeps finding work (a read that
// always finds data, a write the device keeps taking) spends a unit per
// round (a read chunk, a write's device call), and once the budget is spent
// it wakes its own task and returns Pending (Proceed), as a cooperative
// scheduler's tasks do. 128 loopback chunks of 4096 bytes are well under a
// millisecond.
class Budget {
public:
    static constexpr unsigned kPerPoll = 128;
    // Whoever polls a future from the top renews the budget before each poll.
    void renew() noexcept { left_ = kPerPoll; }
    bool spend() noexcept {
        if (left_ == 0) return false;
        --left_;
        return true;
    }

private:
    unsigned left_ = kPerPoll;
};

// Handed to every poll: whom to wake, the reactor that runs timers and
// descriptor readiness waits, the pool for blocking calls, and the poll's
// budget. A poller that will poll again by itself by its `horizon` (a thread
// driving an operation for a bounded window) says so, and timers due later
// than that need not be armed yet; such a poller may also wait on descriptors
// itself.
struct Context {
    Waker waker;
    asio::io_context* io = nullptr;
    BlockingExecutor* blocking = nullptr;
    Horizon horizon{};
    FdWaiter* fd_waiter = nullptr;
    Budget budget{};
};

// Marks a future that returned Ready, in debug builds only, where a poll after
// that fails an assertion; in release builds it is empty and does nothing.
class Finished {
public:
#ifdef NDEBUG
    void check() const noexcept {}
    void set() noexcept {}
#else
    void check() const noexcept { assert(!done_ && "a future is not polled after it returned Ready"); }
    void set() noexcept { done_ = true; }

private:
    bool done_ = false;
#endif
};

struct Pending {};

// The result of one poll: the value, or Pending.
template <class T>
class Poll {
public:
    Poll(Pending) noexcept {}
    // By reference, not by value: no temporary for the optimiser to track
    // (g++ 12 reports a false maybe-uninitialized through it at -O2).
    Poll(T&& value) : v_(std::in_place, std::move(value)) {}
    Poll(const T& value) : v_(std::in_place, value) {}
    bool ready() const noexcept { return v_.has_value(); }
    bool pending() const noexcept { return !v_.has_value(); }
    T& value() & { return *v_; }
    T&& value() && { return std::move(*v_); }

private:
    std::optional<T> v_;
};

template <>
class Poll<void> {
public:
    Poll(Pending) noexcept {}
    Poll() noexcept : ready_(true) {}
    bool ready() const noexcept { return ready_; }
    bool pending() const noexcept { return !ready_; }

private:
    bool ready_ = false;
};

inline Poll<void> ready() noexcept { return {}; }

// A type-erased, heap-allocated future whose address never changes while it is
// polled. The runtime moves the owning pointer, never the object. Boxes are
// recycled like coroutine frames: every operation makes and frees one.
template <class T>
class Future {
public:
    static void* operator new(std::size_t size) { return frame_alloc(size); }
    static void operator delete(void* p, std::size_t size) noexcept { frame_free(p, size); }
    virtual ~Future() = default;
    virtual Poll<T> poll(Context& cx) = 0;
};

template <class T>
using BoxFuture = std::unique_ptr<Future<T>>;

}  // namespace marovenda::poll
