// The engine object behind one serial object: the device slot, the settings,
// a read lock and a write lock held for whole operations, and the closed,
// cancel-read and cancel-write notifiers.
//
// Lock order: the backend lock before the state lock. Both are plain mutexes
// held for one device call or one poll (open holds the backend lock for the
// whole device open), never across a suspension.
//
// Reads, writes, drains and breaks are lazy futures over a shared PortCore:
// poll them (or box them with poll::boxed) to run them; destroying one drops
// it, releasing its lock and its waiters.
//
// A read or a write has two paths: the whole operation (its lock, then
// until_closed around its loop) and a first-poll attempt (ReadFuture,
// WriteFuture) that ends it with one device poll when it can. The rules both
// keep each have one home:
// - a close after the operation began (took its lock; one still waiting for
//   the lock starts on whatever the port is then) ends it with PortNotOpen:
//   until_closed
//   enables its closed waiter, then tests open_session(since): the attempt
//   hands on the session its device poll saw, so a close and a reopen in
//   between still end it; and every device call of the body is made only on
//   the device of the session it began in (device_locked: the reads' and
//   writes' polls, a write's end, a drain's handle, a break's set and
//   clear), so a body that a close has not yet ended never reaches a
//   reopened device;
// - a close ends only the operations of the session it closed: the closed
//   waiter is woken after the backend lock is released, when an operation
//   of the next session may have registered, so its wake is tested against
//   the operation's session (ClosedIn);
// - a disconnected device closes the port (its own session only) before the
//   lock is released: close_if_disconnected;
// - deadlines count from when the lock is held: ReadTimes::of, write_plan;
// - a deadline already passed allows one device poll and no wait: passed().
// The attempt may take the lock only when it is free and no cancel permit is
// stored (a race the operation might lose), and make one device poll under
// the backend lock. When that does not end the operation it hands over the
// lock, what it read or wrote, its session and the times, and the whole
// operation goes on from there at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "backend/backend.hpp"
#include "errors/error.hpp"
#include "poll/combinators.hpp"
#include "poll/adaptive_mutex.hpp"
#include "poll/mutex.hpp"
#include "poll/notify.hpp"
#include "poll/task.hpp"
#include "port/gathered.hpp"
#include "port/settings.hpp"
#include "timeouts.hpp"

namespace marovenda::port {

// A byte string.
using Bytes = std::string;

// The error of a device that reported readiness but gave no data.
inline constexpr std::string_view kDisconnectMessage =
    "device reports readiness to read but returned no data (device disconnected or multiple access on port?)";

// Whether an operation error means the device is gone, so the port closes.
bool is_disconnect(const SerialError& e) noexcept;

struct State {
    Settings settings;
    std::optional<std::string> port;  // absent = not configured
    bool rts = true;
    bool dtr = true;
    bool break_condition = false;
};

// Which opening of a port a device poll saw: every close() begins a new one.
using Session = std::uint64_t;

// The break level a break stored, and in which session: the store is the
// count of stores of the level up to and including it.
struct BreakMark {
    Session session;
    std::uint64_t store;
};

// Whether a deadline has passed: a chunk or a write whose deadline has
// passed makes one device poll and does not wait.
inline bool passed(const std::optional<poll::Instant>& deadline) noexcept {
    return deadline && *deadline <= poll::Clock::now();
}

// When a read's chunks end, fixed once the read holds its lock: the overall
// deadline, the read timeout itself (readline gives every byte its own
// deadline) and the span allowed between chunks once data has come.
struct ReadTimes {
    std::optional<poll::Instant> overall;
    std::optional<Duration> timeout;
    std::optional<Duration> inter_byte;
    static ReadTimes of(const Settings& s);
};

// How a write waits for the device, fixed once it holds its lock: one attempt
// (write_timeout 0), until a deadline, or without limit.
struct WritePlan {
    enum class Mode { Zero, Deadline, Unlimited };
    Mode mode = Mode::Unlimited;
    std::optional<poll::Instant> deadline;
};

class ReadFuture;
class WriteFuture;

// On cache lines of its own (its shared_ptr's counts too, made with it), so
// that ports used by different threads never share a line.
class alignas(64) PortCore {
public:
    // A closed port with the default settings.
    static std::shared_ptr<PortCore> create() { return std::make_shared<PortCore>(); }
    PortCore();
    ~PortCore();
    PortCore(const PortCore&) = delete;
    PortCore& operator=(const PortCore&) = delete;

    bool is_open();
    std::optional<std::string> port();
    Result<void> open();
    void close();
    Result<void> set_port(std::optional<std::string> name);
    Result<void> set_break_condition(bool level);

    // f applied to the present backend under the backend lock; f returns a Result.
    template <class F>
    auto with_backend(F&& f) -> decltype(f(std::declval<backend::Backend&>())) {
        return with_backend_in(std::nullopt, std::forward<F>(f));
    }

    Result<std::optional<std::int32_t>> fileno();
    Result<bool> cd();
    Result<bool> ri();
    Result<bool> cts();
    Result<bool> dsr();
    Result<std::uint32_t> in_waiting();
    Result<std::uint32_t> out_waiting();
    Result<void> reset_input_buffer();
    Result<void> reset_output_buffer();

    // End the current read (write) early, or the next one: one stored permit.
    void cancel_read() { cancel_read_.notify_one(); }
    void cancel_write() { cancel_write_.notify_one(); }

    // Applies change to the stored settings. On an open device a changed line
    // parameter reconfigures it, and a failed reconfigure restores the whole
    // record. Both locks are held throughout (backend, then state).
    template <class F>
    Result<void> update_settings(F&& change) {
        std::lock_guard b(backend_m_);
        Settings before, after;
        bool rts, dtr;
        {
            std::lock_guard s(state_m_);
            before = state_.settings;
            change(state_.settings);
            after = state_.settings;
            rts = state_.rts;
            dtr = state_.dtr;
        }
        return reconfigure_locked(before, after, rts, dtr);
    }
    // Store the RTS (DTR) level and drive it on an open device; RTS is left
    // alone while hardware flow control owns the line.
    Result<void> set_rts(bool level);
    Result<void> set_dtr(bool level);
    State state();
    Settings settings();

    poll::AsyncMutex& read_lock() noexcept { return read_lock_; }
    poll::AsyncMutex& write_lock() noexcept { return write_lock_; }

    // One device poll under the backend lock, on the device of session
    // only: after a close (and a reopen) the poll fails with PortNotOpen.
    poll::Poll<Result<std::size_t>> poll_read_some(poll::Context& cx, std::span<std::uint8_t> buf, Session session);
    poll::Poll<Result<std::size_t>> poll_write_some(poll::Context& cx, std::span<const std::uint8_t> bytes,
                                                    Session session);

    // An operation's body, made for the session it runs in: a callable
    // taking the Session and returning the body's Task.
    template <class Body>
    using BodyTask = std::invoke_result_t<Body&, Session>;

    // Runs the body (its read or write lock already held) until it ends or
    // the port closes; closes the port when it reports a disconnected
    // device. With since, a close after that session, even one followed by
    // a reopen, ends it before it starts.
    template <class Body>
    static auto until_closed(PortCore& core, Body make_body, std::optional<Session> since = std::nullopt)
        -> BodyTask<Body>;
    // The body under lock (taken first), inside until_closed.
    template <class Body>
    static auto holding(std::shared_ptr<PortCore> core, poll::AsyncMutex& lock, Body make_body) -> BodyTask<Body>;

    static ReadFuture read(std::shared_ptr<PortCore> core, std::size_t size);
    static poll::Task<Result<Gathered>> read_until(std::shared_ptr<PortCore> core, Bytes expected,
                                                   std::optional<std::size_t> size);
    static poll::Task<Result<Gathered>> readline(std::shared_ptr<PortCore> core, std::optional<std::size_t> size);
    static poll::Task<Result<std::vector<Gathered>>> readlines(std::shared_ptr<PortCore> core,
                                                               std::optional<std::size_t> hint);
    static poll::Task<Result<Gathered>> read_available(std::shared_ptr<PortCore> core, std::size_t max);

    // Where a write's wait ends: at the port's write_timeout, or never (the
    // transport writes in the background).
    enum class WriteLimit : bool { WriteTimeout, None };
    static WriteFuture write(std::shared_ptr<PortCore> core, Bytes data, WriteLimit limit);
    static poll::Task<Result<void>> flush(std::shared_ptr<PortCore> core);
    static poll::Task<Result<void>> send_break(std::shared_ptr<PortCore> core, Duration duration);

private:
    friend ReadFuture;
    friend WriteFuture;
    friend class CancelWrite;
    friend class BreakGuard;
    // The single-poll attempts of f: the operation's result, or, when the
    // attempt cannot finish it, what the task that goes on with it (holding
    // the lock when the attempt took it), set as f's rest, returns at its
    // first poll.
    static poll::Poll<Result<Gathered>> read_first(ReadFuture& f, poll::Context& cx);
    static poll::Poll<Result<std::size_t>> write_first(WriteFuture& f, poll::Context& cx);
    // What a read's attempt hands on: the whole read, when it could not take
    // the lock; or the rest of it, with the lock, the bytes got so far, the
    // session they came from and the times that started.
    static poll::Task<Result<Gathered>> read_whole(std::shared_ptr<PortCore> core, std::size_t size);
    static poll::Task<Result<Gathered>> read_rest(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                                  Session session, std::size_t size, Gathered got,
                                                  const ReadTimes& times);
    // The body under a lock already held by an attempt whose device poll
    // saw session, inside until_closed.
    template <class Body>
    static auto adopted(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held, Session session,
                        Body make_body) -> BodyTask<Body>;
    // The attempts' device polls: the same as poll_read_some and
    // poll_write_some, and the session they saw, under the same lock. When a
    // write ends at its attempt (the device took all of it, or nothing), the
    // device is told so under that lock too, as CancelWrite would tell it.
    poll::Poll<Result<std::size_t>> poll_read_first(poll::Context& cx, std::span<std::uint8_t> buf, Session& seen);
    poll::Poll<Result<std::size_t>> poll_write_first(poll::Context& cx, std::span<const std::uint8_t> bytes,
                                                     Session& seen);
    // The session of the open port (only when it is since, if given).
    std::optional<Session> open_session(std::optional<Session> since);
    // With the backend lock held: the device, when the port is open (in
    // session, if given); the one home of that test.
    backend::Backend* device_locked(std::optional<Session> session) noexcept;
    poll::Poll<Result<std::size_t>> poll_read_locked(poll::Context& cx, std::span<std::uint8_t> buf,
                                                     Session session);
    poll::Poll<Result<std::size_t>> poll_write_locked(poll::Context& cx, std::span<const std::uint8_t> bytes,
                                                      Session session);
    // How every path ends an operation that failed: a device that is gone
    // closes the port, unless it was closed (and maybe reopened) since the
    // operation's session began.
    void close_if_disconnected(const SerialError& e, Session session) {
        if (is_disconnect(e)) close_in(session);
    }
    // close(), only while the port is in session, when one is given.
    void close_in(std::optional<Session> session);
    // with_backend, on the device of session only (when given).
    template <class F>
    auto with_backend_in(std::optional<Session> session, F&& f) -> decltype(f(std::declval<backend::Backend&>())) {
        std::lock_guard g(backend_m_);
        backend::Backend* device = device_locked(session);
        if (!device) return SerialError::port_not_open();
        return f(*device);
    }
    // A break's set and clear, on the device of its session. Setting stores
    // the level first. Clearing stores false and clears the device while the
    // port is in session. Outside it the device is left alone, and false is
    // stored only over the break's own true: a level stored since (by the
    // user of a port opened again) stays. Both fail with PortNotOpen outside
    // the session.
    Result<BreakMark> set_break_in(Session session);
    Result<void> clear_break_in(const BreakMark& mark);
    class ClosedIn;

    // Chunk result: present n > 0, or absent (deadline, cancel, nothing there).
    static poll::Task<Result<std::optional<std::size_t>>> read_chunk(PortCore& core, Session session,
                                                                     std::optional<poll::Instant> deadline,
                                                                     std::span<std::uint8_t> buf);
    // Reads until size bytes (result holds those that came already), a
    // timeout or a cancel; times are read from the settings when absent.
    static poll::Task<Result<Gathered>> read_locked(PortCore& core, Session session, std::size_t size,
                                                    Gathered result = {},
                                                    std::optional<ReadTimes> times = std::nullopt);
    static poll::Task<Result<Gathered>> read_until_locked(PortCore& core, Session session, Bytes expected,
                                                          std::optional<std::size_t> size, bool per_byte_deadline);
    static poll::Task<Result<std::vector<Gathered>>> readlines_locked(PortCore& core, Session session,
                                                                      std::optional<std::size_t> hint);
    static poll::Task<Result<Gathered>> read_available_locked(PortCore& core, Session session, std::size_t max);
    // Writes data from written on; the plan is made from the settings when absent.
    static poll::Task<Result<std::size_t>> write_loop(PortCore& core, Session session,
                                                      std::span<const std::uint8_t> data, WriteLimit limit,
                                                      std::size_t written, std::optional<WritePlan> plan);
    static WritePlan write_plan(PortCore& core, WriteLimit limit);
    // A zero-timeout write whose attempt found the device full: what the
    // device keeps of it counts as written.
    static Result<std::size_t> detach_rest(PortCore& core, Session session, std::size_t written);
    // What a write's attempt hands on, as a read's does: the whole write, or
    // the rest of it from written on.
    static poll::Task<Result<std::size_t>> write_whole(std::shared_ptr<PortCore> core, Bytes data,
                                                       WriteLimit limit);
    static poll::Task<Result<std::size_t>> write_rest(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                                      Session session, Bytes data, WriteLimit limit,
                                                      std::size_t written, WritePlan plan);
    static poll::Task<Result<void>> drain(PortCore& core, Session session);
    static poll::Task<Result<void>> break_locked(PortCore& core, Session session, Duration duration);

    void close_inherited();
    // With the backend lock held: reconfigures an open device when a line
    // parameter changed, restoring before on failure.
    Result<void> reconfigure_locked(const Settings& before, const Settings& after, bool rts, bool dtr);

    // The engine tests set a core up through its locks.
    friend struct PortCoreAccess;

public:
    // For tests: called right after every open test of an operation, the
    // moment where a close must still end it; between an attempt's device
    // poll and the open test of the operation it goes on as, where a close
    // and a reopen must still end it; and in close(), between the end of the
    // session and the wake of its waiters, where the next session may have
    // begun.
    static inline std::atomic<void (*)(PortCore&)> after_open_test{nullptr};
    static inline std::atomic<void (*)(PortCore&)> after_attempt{nullptr};
    static inline std::atomic<void (*)(PortCore&)> before_close_wakes{nullptr};

    // Held across fork() so that no port lock is inherited locked.
    void lock_for_fork();
    void unlock_after_fork();

private:

    poll::AdaptiveMutex backend_m_;
    backend::BackendPtr backend_;
    Session session_ = 0;  // under backend_m_; close() begins the next
    std::mutex state_m_;
    State state_;
    std::uint64_t break_stores_ = 0;  // under state_m_: stores of state_.break_condition
    poll::AsyncMutex read_lock_;
    poll::AsyncMutex write_lock_;
    poll::Notify closed_;
    poll::Notify cancel_read_;
    poll::Notify cancel_write_;
};

// The operations below take their core by reference: the outermost task of
// an operation (holding, write) keeps it alive for all that it runs.

// Whatever way a write ends, tell the device of its session (if the port is
// still in it) that it did.
class CancelWrite {
public:
    CancelWrite(PortCore& core, Session session) noexcept : core_(&core), session_(session) {}
    CancelWrite(const CancelWrite&) = delete;
    CancelWrite& operator=(const CancelWrite&) = delete;
    ~CancelWrite();

private:
    PortCore* core_;
    Session session_;
};

// Clears the break a break set when it ends early; disarmed by a normal end.
class BreakGuard {
public:
    BreakGuard(PortCore& core, BreakMark mark) noexcept : core_(&core), mark_(mark) {}
    BreakGuard(const BreakGuard&) = delete;
    BreakGuard& operator=(const BreakGuard&) = delete;
    ~BreakGuard();
    void disarm() noexcept { core_ = nullptr; }

private:
    PortCore* core_;
    BreakMark mark_;
};

// The closed side of an operation's race in until_closed: ready once the
// port has left the operation's session. A wake from the close of an
// earlier session rearms the waiter.
class PortCore::ClosedIn {
public:
    ClosedIn(PortCore& core, poll::Notify::Notified& waiter, Session session) noexcept
        : core_(core), waiter_(waiter), session_(session) {}
    poll::Poll<void> poll(poll::Context& cx);

private:
    PortCore& core_;
    poll::Notify::Notified& waiter_;
    Session session_;
};

// One device poll as a pollable, for the read and write loops.
struct ReadSome {
    PortCore* core;
    Session session;
    std::span<std::uint8_t> buf;
    poll::Poll<Result<std::size_t>> poll(poll::Context& cx) { return core->poll_read_some(cx, buf, session); }
};
struct WriteSome {
    PortCore* core;
    Session session;
    std::span<const std::uint8_t> bytes;
    poll::Poll<Result<std::size_t>> poll(poll::Context& cx) { return core->poll_write_some(cx, bytes, session); }
};

// A read or a write that first tries to end at its first poll, with one
// device poll, as it does when the bytes are buffered or the device takes
// them all; none of the operation's coroutines are made then. What the
// attempt may do and what it hands over: the top of this file. A close or a
// cancel that lands during it is ordered after its device poll.
class ReadFuture {
public:
    ReadFuture(std::shared_ptr<PortCore> core, std::size_t size) noexcept : core_(std::move(core)), size_(size) {}
    poll::Poll<Result<Gathered>> poll(poll::Context& cx);

private:
    friend PortCore;
    std::shared_ptr<PortCore> core_;
    std::size_t size_;
    std::optional<poll::Task<Result<Gathered>>> rest_;
    [[no_unique_address]] poll::Finished finished_;
};

class WriteFuture {
public:
    WriteFuture(std::shared_ptr<PortCore> core, Bytes data, PortCore::WriteLimit limit) noexcept
        : core_(std::move(core)), data_(std::move(data)), limit_(limit) {}
    poll::Poll<Result<std::size_t>> poll(poll::Context& cx);

private:
    friend PortCore;
    std::shared_ptr<PortCore> core_;
    Bytes data_;
    PortCore::WriteLimit limit_;
    std::optional<poll::Task<Result<std::size_t>>> rest_;
    [[no_unique_address]] poll::Finished finished_;
};

template <class Body>
auto PortCore::until_closed(PortCore& core, Body make_body, std::optional<Session> since) -> BodyTask<Body> {
    // Enabled before the test: notify_waiters stores nothing, so a close
    // racing with this start must find the waiter already registered. A
    // close before it, after the attempt's device poll, shows in the session.
    auto waiter = core.closed_.notified();
    waiter.enable();
    const auto session = core.open_session(since);
    if (!session) co_return SerialError::port_not_open();
    std::optional<typename BodyTask<Body>::value_type> result;
    {
        ClosedIn closed(core, waiter, *session);
        auto body = make_body(*session);  // dropped at the end of this scope, where it stands
        poll::Select race(closed, body);
        auto won = co_await race;
        if (won.index() == 1) result.emplace(std::get<1>(std::move(won)));
    }
    if (!result) co_return SerialError::port_not_open();
    if (!result->ok()) core.close_if_disconnected(result->error(), *session);
    co_return std::move(*result);
}

template <class Body>
auto PortCore::holding(std::shared_ptr<PortCore> core, poll::AsyncMutex& lock, Body make_body) -> BodyTask<Body> {
    // core, a parameter, outlives the guard: the lock lives inside it.
    auto acquire = lock.lock();
    auto held = co_await acquire;
    auto body = until_closed(*core, std::move(make_body));
    auto r = co_await body;
    co_return std::move(r);
}

template <class Body>
auto PortCore::adopted(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held, Session session,
                       Body make_body) -> BodyTask<Body> {
    auto guard = std::move(held);  // released where the body ends, as holding's
    if (auto seam = after_attempt.load(std::memory_order_relaxed)) seam(*core);
    auto body = until_closed(*core, std::move(make_body), session);
    auto r = co_await body;
    co_return std::move(r);
}

}  // namespace marovenda::port
