#include "serial/ops.hpp"

#include <chrono>
#include <cmath>

#include "capi/thread.hpp"
#include "errors/exceptions.hpp"
#include "poll/block_on.hpp"
#include "poll/task.hpp"
#include "runtime/runtime.hpp"

namespace marovenda::serial {

namespace ops {

namespace {

using port::PortCore;


// A non-negative number of seconds to a span, ties to the even nanosecond;
// 2**64 seconds and more, and infinity, hold the break as long as possible.
std::optional<Duration> break_span(double seconds) {
    if (!(seconds >= 0)) return std::nullopt;
    if (seconds >= timeouts::kNoEndSeconds) return Duration::max();
    auto d = timeouts::duration(Seconds::of_float(seconds));
    return d ? *d : Duration::max();
}

poll::Task<OpResult> break_op(Core core, double seconds) {
    auto span = break_span(seconds);
    if (!span) co_return SerialError::value("duration must be a non-negative number");
    auto body = PortCore::send_break(std::move(core), *span);
    co_return future::to_outcome(co_await body);
}

}  // namespace

using future::operation;

Operation read(Core core, std::size_t size) { return operation(PortCore::read(std::move(core), size)); }

Operation read_until(Core core, std::string expected, std::optional<std::size_t> size) {
    return operation(PortCore::read_until(std::move(core), std::move(expected), size));
}

Operation readline(Core core, Py_ssize_t size) {
    return operation(PortCore::readline(std::move(core),
                                        size >= 0 ? std::optional<std::size_t>(std::size_t(size)) : std::nullopt));
}

Operation readlines(Core core, Py_ssize_t hint) {
    return operation(
        PortCore::readlines(std::move(core), hint > 0 ? std::optional<std::size_t>(std::size_t(hint)) : std::nullopt));
}

Operation write(Core core, std::string data) {
    return operation(PortCore::write(std::move(core), std::move(data), PortCore::WriteLimit::WriteTimeout));
}

Operation flush(Core core) { return operation(PortCore::flush(std::move(core))); }

Operation send_break(Core core, double duration) { return poll::boxed(break_op(std::move(core), duration)); }

}  // namespace ops

namespace {

py::Ref drive(Operation op) {
    auto rt = runtime::runtime();
    if (!rt) throw_py(rt.error());
    // Detached for the first window only; the result is built in place.
    poll::Poll<OpResult> p = [&] {
        py::Detached detached;
        return poll::block_on_for(*op, rt.value()->io(), rt.value()->blocking(), std::chrono::milliseconds(50));
    }();
    if (p.ready()) {
        op.reset();
        const OpResult& r = p.value();
        if (!r) throw_py(r.error());
        return r.value().to_py();
    }
    auto spawned = OpFuture::spawn(std::move(op));
    if (!spawned) throw_py(spawned.error());
    const OpFuture& fut = spawned.value();
    try {
        return fut.wait(std::nullopt);
    } catch (const py::ErrorAlreadySet&) {
        // Cancelled before the wait's exception is raised; for the
        // operation's own error the cell is complete and nothing changes.
        py::Ref pending = py::Ref::steal(PyErr_GetRaisedException());
        future::cancel_shared(*fut.cell());
        PyErr_SetRaisedException(pending.release());
        throw;
    }
}

}  // namespace

py::Ref run(Operation op) {
    // On a runtime worker (a done-callback calling a blocking method) the
    // worker's scheduling moves to a replacement while this call blocks.
    runtime::HandOff hand_off;
    return drive(std::move(op));
}

}  // namespace marovenda::serial
