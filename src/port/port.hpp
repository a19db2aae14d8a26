// The engine object behind one serial object: the device slot, the settings,
// a read lock and a write lock held for whole operations, and the closed,
// cancel-read and cancel-write notifiers.
//
// Lock order: the backend lock before the state lock. Both are plain mutexes
// held for one device call or one poll (open holds the backend lock for the
// whole device open), never across a suspension.
//
// Reads, writes, drains and breaks are lazy Tasks over a shared PortCore: poll
// them (or box them with poll::boxed) to run them; destroying one drops it,
// releasing its lock and its waiters.
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
#include <vector>

#include "backend/backend.hpp"
#include "errors/error.hpp"
#include "poll/combinators.hpp"
#include "poll/adaptive_mutex.hpp"
#include "poll/mutex.hpp"
#include "poll/notify.hpp"
#include "poll/task.hpp"
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

// When a read's chunks end: the overall deadline, fixed once the read holds
// its lock, and the span allowed between chunks once data has come.
struct ReadTimes {
    std::optional<poll::Instant> overall;
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
        std::lock_guard g(backend_m_);
        if (!backend_) return SerialError::port_not_open();
        return f(*backend_);
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

    // One device poll under the backend lock.
    poll::Poll<Result<std::size_t>> poll_read_some(poll::Context& cx, std::span<std::uint8_t> buf);
    poll::Poll<Result<std::size_t>> poll_write_some(poll::Context& cx, std::span<const std::uint8_t> bytes);
    // The same for a write's first device poll: when the write ends there
    // (the device took all of it, or nothing), the device is told that it
    // ended under the same lock, as CancelWrite would tell it after.
    poll::Poll<Result<std::size_t>> poll_write_ending(poll::Context& cx, std::span<const std::uint8_t> bytes);

    // Runs op (already holding its read or write lock) until it ends or the
    // port closes; closes the port when op reports a disconnected device.
    template <class T>
    static poll::Task<Result<T>> until_closed(PortCore& core, poll::Task<Result<T>> op);
    // op (lazy: it starts once the lock is held) under lock, inside until_closed.
    template <class T>
    static poll::Task<Result<T>> holding(std::shared_ptr<PortCore> core, poll::AsyncMutex& lock,
                                         poll::Task<Result<T>> op);

    static ReadFuture read(std::shared_ptr<PortCore> core, std::size_t size);
    static poll::Task<Result<Bytes>> read_until(std::shared_ptr<PortCore> core, Bytes expected,
                                                std::optional<std::size_t> size);
    static poll::Task<Result<Bytes>> readline(std::shared_ptr<PortCore> core, std::optional<std::size_t> size);
    static poll::Task<Result<std::vector<Bytes>>> readlines(std::shared_ptr<PortCore> core,
                                                            std::optional<std::size_t> hint);
    static poll::Task<Result<Bytes>> read_available(std::shared_ptr<PortCore> core, std::size_t max);

    // Where a write's wait ends: at the port's write_timeout, or never (the
    // transport writes in the background).
    enum class WriteLimit : bool { WriteTimeout, None };
    static WriteFuture write(std::shared_ptr<PortCore> core, Bytes data, WriteLimit limit);
    static poll::Task<Result<void>> flush(std::shared_ptr<PortCore> core);
    static poll::Task<Result<void>> send_break(std::shared_ptr<PortCore> core, Duration duration);

private:
    friend ReadFuture;
    friend WriteFuture;
    template <class T>
    using Rest = std::optional<poll::Task<Result<T>>>;
    // The single-poll attempts: the operation's result, or Pending with rest
    // set to the task that goes on with it (holding the lock when the attempt
    // took it), to be polled at once.
    static poll::Poll<Result<Bytes>> read_first(const std::shared_ptr<PortCore>& core, std::size_t size,
                                                poll::Context& cx, Rest<Bytes>& rest);
    static poll::Poll<Result<std::size_t>> write_first(const std::shared_ptr<PortCore>& core, Bytes& data,
                                                       WriteLimit limit, poll::Context& cx, Rest<std::size_t>& rest);
    // op under a lock already held, inside until_closed.
    template <class T>
    static poll::Task<Result<T>> adopted(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                         poll::Task<Result<T>> op);

    // Chunk result: present n > 0, or absent (deadline, cancel, nothing there).
    static poll::Task<Result<std::optional<std::size_t>>> read_chunk(PortCore& core,
                                                                     std::optional<poll::Instant> deadline,
                                                                     std::span<std::uint8_t> buf);
    // Reads until size bytes (result holds those that came already), a
    // timeout or a cancel; times are read from the settings when absent.
    static poll::Task<Result<Bytes>> read_locked(PortCore& core, std::size_t size, Bytes result = {},
                                                 std::optional<ReadTimes> times = std::nullopt);
    static poll::Task<Result<Bytes>> read_until_locked(PortCore& core, Bytes expected,
                                                       std::optional<std::size_t> size, bool per_byte_deadline);
    static poll::Task<Result<std::vector<Bytes>>> readlines_locked(PortCore& core,
                                                                   std::optional<std::size_t> hint);
    static poll::Task<Result<Bytes>> read_available_locked(PortCore& core, std::size_t max);
    // Writes data from written on; the plan is made from the settings when absent.
    static poll::Task<Result<std::size_t>> write_loop(PortCore& core, std::span<const std::uint8_t> data,
                                                      WriteLimit limit, std::size_t written,
                                                      std::optional<WritePlan> plan);
    static WritePlan write_plan(PortCore& core, WriteLimit limit);
    // A zero-timeout write whose attempt found the device full: what the
    // device keeps of it counts as written.
    static Result<std::size_t> detach_rest(PortCore& core, std::size_t written);
    static poll::Task<Result<std::size_t>> write_task(std::shared_ptr<PortCore> core, Bytes data, WriteLimit limit);
    static poll::Task<Result<std::size_t>> write_rest(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                                      Bytes data, WriteLimit limit, std::size_t written,
                                                      WritePlan plan);
    static poll::Task<Result<void>> drain(PortCore& core);
    static poll::Task<Result<void>> break_locked(PortCore& core, Duration duration);

    void close_inherited();
    // With the backend lock held: reconfigures an open device when a line
    // parameter changed, restoring before on failure.
    Result<void> reconfigure_locked(const Settings& before, const Settings& after, bool rts, bool dtr);

    // The engine tests set a core up through its locks.
    friend struct PortCoreAccess;

public:
    // For tests: called between an operation's open test and its first poll,
    // the moment where a close must still end the operation.
    static inline std::atomic<void (*)(PortCore&)> after_open_test{nullptr};

    // Held across fork() so that no port lock is inherited locked.
    void lock_for_fork();
    void unlock_after_fork();

private:

    poll::AdaptiveMutex backend_m_;
    backend::BackendPtr backend_;
    std::mutex state_m_;
    State state_;
    poll::AsyncMutex read_lock_;
    poll::AsyncMutex write_lock_;
    poll::Notify closed_;
    poll::Notify cancel_read_;
    poll::Notify cancel_write_;
};

// The operations below take their core by reference: the outermost task of
// an operation (holding, write) keeps it alive for all that it runs.

// Whatever way a write ends, tell the device (if one is present) that it did.
class CancelWrite {
public:
    explicit CancelWrite(PortCore& core) noexcept : core_(&core) {}
    CancelWrite(const CancelWrite&) = delete;
    CancelWrite& operator=(const CancelWrite&) = delete;
    ~CancelWrite();

private:
    PortCore* core_;
};

// Clears the break when a break ends early; disarmed by a normal end.
class BreakGuard {
public:
    explicit BreakGuard(PortCore& core) noexcept : core_(&core) {}
    BreakGuard(const BreakGuard&) = delete;
    BreakGuard& operator=(const BreakGuard&) = delete;
    ~BreakGuard();
    void disarm() noexcept { core_ = nullptr; }

private:
    PortCore* core_;
};

// One device poll as a pollable, for the read and write loops.
struct ReadSome {
    PortCore* core;
    std::span<std::uint8_t> buf;
    poll::Poll<Result<std::size_t>> poll(poll::Context& cx) { return core->poll_read_some(cx, buf); }
};
struct WriteSome {
    PortCore* core;
    std::span<const std::uint8_t> bytes;
    poll::Poll<Result<std::size_t>> poll(poll::Context& cx) { return core->poll_write_some(cx, bytes); }
};

// A read or a write that first tries to end at its first poll, with one
// device poll, as it does when the bytes are buffered or the device takes
// them all; none of the operation's coroutines are made then. The attempt
// keeps the operation's rules: it runs only when the lock is free and no
// cancel permit is stored (a race it might have lost), it fixes the deadlines
// once it holds the lock, and a close or a cancel that lands during it is
// ordered after its device poll. Anything else goes on as the whole
// operation, which keeps the lock and whatever the attempt got.
class ReadFuture {
public:
    ReadFuture(std::shared_ptr<PortCore> core, std::size_t size) noexcept : core_(std::move(core)), size_(size) {}
    poll::Poll<Result<Bytes>> poll(poll::Context& cx);

private:
    std::shared_ptr<PortCore> core_;
    std::size_t size_;
    std::optional<poll::Task<Result<Bytes>>> rest_;
};

class WriteFuture {
public:
    WriteFuture(std::shared_ptr<PortCore> core, Bytes data, PortCore::WriteLimit limit) noexcept
        : core_(std::move(core)), data_(std::move(data)), limit_(limit) {}
    poll::Poll<Result<std::size_t>> poll(poll::Context& cx);

private:
    std::shared_ptr<PortCore> core_;
    Bytes data_;
    PortCore::WriteLimit limit_;
    std::optional<poll::Task<Result<std::size_t>>> rest_;
};

template <class T>
poll::Task<Result<T>> PortCore::until_closed(PortCore& core, poll::Task<Result<T>> op) {
    // Enabled before the test: notify_waiters stores nothing, so a close
    // racing with this start must find the waiter already registered.
    auto closed = core.closed_.notified();
    closed.enable();
    if (!core.is_open()) co_return SerialError::port_not_open();
    if (auto seam = after_open_test.load(std::memory_order_relaxed)) seam(core);
    std::optional<Result<T>> result;
    {
        auto body = std::move(op);  // dropped at the end of this scope, where it stands
        poll::Select race(closed, body);
        auto won = co_await race;
        if (won.index() == 1) result.emplace(std::get<1>(std::move(won)));
    }
    if (!result) co_return SerialError::port_not_open();
    if (!result->ok() && is_disconnect(result->error())) core.close();
    co_return std::move(*result);
}

template <class T>
poll::Task<Result<T>> PortCore::holding(std::shared_ptr<PortCore> core, poll::AsyncMutex& lock,
                                        poll::Task<Result<T>> op) {
    // core, a parameter, outlives the guard: the lock lives inside it.
    auto acquire = lock.lock();
    auto held = co_await acquire;
    auto body = until_closed(*core, std::move(op));
    auto r = co_await body;
    co_return std::move(r);
}

template <class T>
poll::Task<Result<T>> PortCore::adopted(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                        poll::Task<Result<T>> op) {
    auto guard = std::move(held);  // released where the body ends, as holding's
    auto body = until_closed(*core, std::move(op));
    auto r = co_await body;
    co_return std::move(r);
}

}  // namespace marovenda::port
