// The completion cell behind every operation (Shared) and its success value
// (Outcome). The cell keeps the first result offered; storing it wakes blocked
// threads, schedules the result onto each awaiting event loop and runs or
// schedules the done-callbacks.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "capi/ref.hpp"
#include "poll/task.hpp"
#include "port/gathered.hpp"
#include "errors/error.hpp"
#include "runtime/runtime.hpp"

namespace marovenda {

// The success value of an operation.
class Outcome {
public:
    using Bytes = port::Gathered;
    using Lines = std::vector<Bytes>;
    // Shared so that copying an Outcome never touches the interpreter.
    using Object = std::shared_ptr<const py::Ref>;

    static Outcome unit() { return Outcome(std::monostate{}); }
    static Outcome count(std::size_t n) { return Outcome(n); }
    static Outcome bytes(Bytes&& b) { return Outcome(std::move(b)); }
    static Outcome lines(Lines&& l) { return Outcome(std::move(l)); }
    static Outcome object(py::Ref o) { return Outcome(std::make_shared<const py::Ref>(std::move(o))); }

    // None, int, bytes, list of bytes, or the object itself. Attached.
    py::Ref to_py() const;

    const std::variant<std::monostate, std::size_t, Bytes, Lines, Object>& get() const noexcept { return v_; }

private:
    template <class T>
    explicit Outcome(T&& v) : v_(std::forward<T>(v)) {}
    std::variant<std::monostate, std::size_t, Bytes, Lines, Object> v_;
};

using OpResult = Result<Outcome>;
using Operation = poll::BoxFuture<OpResult>;

namespace future {

// An engine result as an operation's result: an error passes through;
// bytes, lines, a count or nothing become that Outcome.
template <class T>
OpResult to_outcome(Result<T>&& r) {
    if (!r) return std::move(r).error();
    if constexpr (std::is_void_v<T>) {
        return Outcome::unit();
    } else if constexpr (std::is_same_v<T, Outcome::Bytes>) {
        return Outcome::bytes(std::move(r).value());
    } else if constexpr (std::is_same_v<T, Outcome::Lines>) {
        return Outcome::lines(std::move(r).value());
    } else {
        static_assert(std::is_same_v<T, std::size_t>);
        return Outcome::count(r.value());
    }
}

namespace detail {
template <class R>
struct ResultValue;
template <class T>
struct ResultValue<Result<T>> {
    using type = T;
};
}  // namespace detail

// An engine operation (a Task or an operation's own future) as an
// Operation, its result made an outcome.
template <poll::Pollable F>
    requires(!std::is_reference_v<F>)
Operation operation(F&& op) {
    return poll::boxed<OpResult>(std::move(op), &to_outcome<typename detail::ResultValue<poll::output_t<F>>::type>);
}

// One done-callback.
struct Callback {
    py::Ref fn;
    py::Ref future;
    py::Ref context;
    py::Ref loop;  // NULL: fn runs on the completing thread
};

// One asyncio task awaiting the cell through a bridge future on its loop.
struct Waiter {
    py::Ref loop;
    py::Ref future;
};

struct State {
    std::optional<OpResult> result_slot;
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    runtime::AbortHandle abort_handle;
    py::Ref exception_cache;
};

}  // namespace future

class Shared final : public runtime::Completion<Outcome> {
public:
    std::mutex mu;
    std::condition_variable condvar;
    future::State state;  // guarded by mu

    void complete(OpResult result) noexcept override;
};

namespace future {

// Locks cell.mu. In a child process created by fork() a thread of the parent
// that held it at the fork does not exist, so the lock would never come free:
// there it is tried for a bounded time, and the lock returned does not own the
// mutex when it stayed held. The cell is then left as the child found it.
std::unique_lock<std::mutex> lock_cell(Shared& cell) noexcept;
// lock_cell, raising the forked-child SerialException (throws
// ErrorAlreadySet) for a lock that stayed held.
std::unique_lock<std::mutex> lock_cell_or_raise(Shared& cell);

// Stores result if the cell is pending; true only when this call stored it.
bool complete(Shared& cell, OpResult result) noexcept;
// Completes the cell as cancelled, then aborts its task; true only when this
// call completed it.
bool cancel_shared(Shared& cell) noexcept;
// The Python form of a result the caller holds: a value, or raises (throws
// py::ErrorAlreadySet) the cell's one exception object, or a new
// CancelledError. Attached.
py::Ref to_python(Shared& cell, const OpResult& result);
// The cell's one exception object for error, made on first need.
py::Ref exception_object(Shared& cell, const SerialError& error);

// Delivers one callback with loop.<method>(fn, future, context=...), or
// context.run(fn, future) when it has no loop; failures go to the
// unraisable hook with fn as the object. Attached.
void run_or_report(const Callback& cb, const char* method) noexcept;

// Schedules a waiter's value or exception onto its loop, where settle runs.
void schedule(const Waiter& waiter, py::Ref value, py::Ref exception) noexcept;
// Gives a pending bridge future its value (exception NULL) or exception; a
// CancelledError cancels it. Loop thread; throws ErrorAlreadySet.
void settle(PyObject* bridge, PyObject* value, PyObject* exception);

}  // namespace future

// The native content of a Python aio.Future: one reference to a cell.
class OpFuture {
public:
    explicit OpFuture(std::shared_ptr<Shared> cell) noexcept : cell_(std::move(cell)) {}

    // A cell complete at birth.
    static OpFuture resolved(OpResult result);
    // Polls op once on the calling thread (detached) and returns a complete
    // future, or one backed by a runtime task.
    static Result<OpFuture> start(Operation op);
    // Hands a possibly partly run operation to the runtime as a task.
    static Result<OpFuture> spawn(Operation op);

    // Blocks until the cell completes, in slices of at most 50 ms with the
    // thread detached and signals checked between slices; raises TimeoutError
    // after timeout seconds. Never cancels. Attached; throws ErrorAlreadySet.
    py::Ref wait(std::optional<double> timeout) const;
    // The Python form of the stored result; InvalidStateError when pending.
    py::Ref result() const;
    // Adds a done-callback, or delivers it at once when the cell is complete.
    void register_callback(py::Ref fn, py::Ref future, py::Ref context, py::Ref loop) const;

    const std::shared_ptr<Shared>& cell() const noexcept { return cell_; }

private:
    std::shared_ptr<Shared> cell_;
};

}  // namespace marovenda
