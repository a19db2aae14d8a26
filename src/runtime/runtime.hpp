// The process-wide I/O runtime: one io_context run by two worker threads, a
// pool for blocking calls, and the tasks that drive operations on them.
//
// The runtime is built on first use and lives until the process exits: it is
// never destroyed, so no static destructor joins its threads. A child process
// created by fork() inherits none of its threads and is refused it.
#pragma once

#include <sys/types.h>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "errors/error.hpp"
#include "poll/poll.hpp"

namespace marovenda::runtime {

class Runtime;
class TaskCell;

// The result of a fault (a C++ exception) inside an operation.
inline SerialError operation_panicked() { return SerialError::os(std::nullopt, "the operation panicked"); }

// Cancels one spawned task from any thread. The task drops its future on a
// worker at its next scheduling point (after a poll in progress returns) and is
// never polled again. Aborting a finished task does nothing.
class AbortHandle {
public:
    AbortHandle() = default;
    explicit AbortHandle(std::shared_ptr<TaskCell> task) noexcept : task_(std::move(task)) {}
    void abort() const noexcept;
    explicit operator bool() const noexcept { return task_ != nullptr; }

private:
    std::shared_ptr<TaskCell> task_;
};

// Where a task delivers the result of its operation. The first result offered
// is kept; later offers must be dropped without effect. Called on any thread.
template <class T>
class Completion {
public:
    virtual ~Completion() = default;
    virtual void complete(Result<T> result) noexcept = 0;
};

// Read by every operation: kept on a cache line of its own.
class alignas(64) Runtime {
public:
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& io() noexcept;
    poll::BlockingExecutor& blocking() noexcept;
    // The process id read right after the runtime was built.
    ::pid_t pid() const noexcept { return pid_; }

    // Queues task for its first poll at once and returns its abort handle. A
    // wake while the task is queued or running is coalesced into one later
    // poll; a wake never polls inline. An exception escaping a poll ends that
    // task only: its future is destroyed and nothing is reported.
    AbortHandle spawn(poll::BoxFuture<void> task);

    // Runs an operation (possibly polled already) as a task that delivers its
    // result to sink. Whatever ends the task, the operation is destroyed
    // (releasing its port locks) before sink hears of it. Once the task has
    // run, ending without a result (a fault, or an abort while suspended)
    // delivers operation_panicked(); a task aborted before its first run
    // delivers nothing.
    template <class T>
    AbortHandle spawn_operation(poll::BoxFuture<Result<T>> op, std::shared_ptr<Completion<T>> sink);

    struct State;

private:
    Runtime(State* state, ::pid_t pid) noexcept : state_(state), pid_(pid) {}
    friend Result<Runtime*> start();

    State* state_;  // never freed: the runtime outlives every static
    ::pid_t pid_;
};

// The process-wide runtime, built by the first call. A failed start is not
// retried: every later call returns a copy of its error. In a child process
// created by fork() the result is SerialError::forked().
Result<Runtime*> runtime();

// Builds a runtime. Only runtime() calls it, once per process.
Result<Runtime*> start();

// The error reported for a start that threw e: "failed to start the tokio
// runtime: " and the error's text, keeping its errno when it is an OS error.
SerialError start_error(const std::exception& e);

// True on a thread that currently schedules runtime tasks: a worker, or a
// replacement standing in for a worker inside a HandOff.
bool is_worker_thread() noexcept;

// True in a child process forked after the runtime started: the threads that
// held any lock at the fork do not exist there.
bool in_forked_child() noexcept;

// While alive on a worker thread, a replacement thread from the blocking pool
// runs the runtime in this thread's stead, so the caller may block without
// stalling other tasks; the replacement retires when the guard ends. On any
// other thread it does nothing.
class HandOff {
public:
    HandOff() noexcept;
    ~HandOff();
    HandOff(const HandOff&) = delete;
    HandOff& operator=(const HandOff&) = delete;

private:
    struct Replacement;
    Runtime* worker_ = nullptr;
    std::shared_ptr<Replacement> replacement_;
};

// Runs fn, handing this worker's scheduling to a replacement while it blocks.
template <class F>
decltype(auto) block_in_place(F&& fn) {
    HandOff hand_off;
    return std::forward<F>(fn)();
}

// A once-only slot holding what its first fill made. A thread that finds the
// slot being filled waits for it.
template <class T>
class OnceResult {
public:
    template <class F>
    const Result<T>& get(F&& fill) {
        std::call_once(once_, [&] { slot_.emplace(std::forward<F>(fill)()); });
        return *slot_;
    }

private:
    std::once_flag once_;
    std::optional<Result<T>> slot_;
};

// What the first poll of an operation left: its result (finished, or faulted
// as operation_panicked()), or the same operation, still pending.
template <class T>
struct FirstPoll {
    std::optional<Result<T>> result;
    poll::BoxFuture<Result<T>> pending;
};

// Polls op once on the calling thread with a waker that does nothing, in the
// runtime's reactor and blocking pool. A pending op comes back unchanged, with
// its deadlines, lock holds and queue places, for Runtime::spawn_operation;
// the wakes it registered reach nobody until the task's first poll replaces
// them. A finished or faulted op is destroyed before this returns.
template <class T>
FirstPoll<T> first_poll(Runtime& rt, poll::BoxFuture<Result<T>> op);

// ---------------------------------------------------------------------------

namespace detail {

// The body of an operation's task.
template <class T>
class OperationTask final : public poll::Future<void> {
public:
    OperationTask(poll::BoxFuture<Result<T>> op, std::shared_ptr<Completion<T>> sink) noexcept
        : op_(std::move(op)), sink_(std::move(sink)) {}

    poll::Poll<void> poll(poll::Context& cx) override {
        ran_ = true;
        auto p = op_->poll(cx);
        if (p.pending()) return poll::Pending{};
        Result<T> result = std::move(p).value();
        op_.reset();
        sink_->complete(std::move(result));
        return poll::ready();
    }

    // Runs when the task ends however it ends. Once the task has run, its
    // guard always offers "the operation panicked"; after a normal finish the
    // sink already holds the result and drops the offer.
    ~OperationTask() override {
        op_.reset();
        if (ran_) sink_->complete(operation_panicked());
    }

private:
    poll::BoxFuture<Result<T>> op_;
    std::shared_ptr<Completion<T>> sink_;
    bool ran_ = false;
};

}  // namespace detail

template <class T>
AbortHandle Runtime::spawn_operation(poll::BoxFuture<Result<T>> op, std::shared_ptr<Completion<T>> sink) {
    return spawn(std::make_unique<detail::OperationTask<T>>(std::move(op), std::move(sink)));
}

template <class T>
FirstPoll<T> first_poll(Runtime& rt, poll::BoxFuture<Result<T>> op) {
    poll::Context cx{poll::Waker{}, &rt.io(), &rt.blocking()};
    std::optional<poll::Poll<Result<T>>> p;
    try {
        p.emplace(op->poll(cx));
    } catch (...) {
    }
    FirstPoll<T> out;
    if (!p) {
        op.reset();
        out.result.emplace(operation_panicked());
    } else if (p->ready()) {
        op.reset();
        out.result.emplace(std::move(*p).value());
    } else {
        out.pending = std::move(op);
    }
    return out;
}

}  // namespace marovenda::runtime
