// The device interface behind a port core, and the choice of device by name.
//
// Every call is made with the port core's backend lock held, one at a time,
// and never blocks for long: poll_read and poll_write return Pending instead
// of waiting, after arranging for the context's waker to be woken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "errors/error.hpp"
#include "poll/poll.hpp"
#include "port/settings.hpp"

namespace marovenda::backend {

// What an output drain waits on: an owned descriptor, closed on destruction,
// or none when the drain is complete at once.
class Drain {
public:
    Drain() = default;
    explicit Drain(int fd) noexcept : fd_(fd) {}
    Drain(Drain&& o) noexcept : fd_(std::exchange(o.fd_, std::nullopt)) {}
    Drain& operator=(Drain&& o) noexcept;
    ~Drain();
    const std::optional<int>& fd() const noexcept { return fd_; }

private:
    std::optional<int> fd_;
};

class Backend {
public:
    virtual ~Backend() = default;  // closes the device

    // Ready with the count placed at the start of buf (0 with a non-empty buf:
    // readiness without data), or with the OS error.
    virtual poll::Poll<Result<std::size_t>> poll_read(poll::Context& cx, std::span<std::uint8_t> buf) = 0;
    // Ready with the count taken (0 for non-empty bytes ends a write early).
    virtual poll::Poll<Result<std::size_t>> poll_write(poll::Context& cx, std::span<const std::uint8_t> bytes) = 0;

    virtual Result<void> configure(const port::Settings& settings, bool rts, bool dtr) = 0;
    virtual Result<void> set_rts(bool level) = 0;
    virtual Result<void> set_dtr(bool level) = 0;
    virtual Result<bool> cts() = 0;
    virtual Result<bool> dsr() = 0;
    virtual Result<bool> ri() = 0;
    virtual Result<bool> cd() = 0;
    virtual Result<std::uint32_t> in_waiting() = 0;
    virtual Result<std::uint32_t> out_waiting() = 0;
    virtual Result<void> clear_buffers(bool input, bool output) = 0;
    virtual Result<void> set_break_state(bool on) = 0;
    virtual std::optional<std::int32_t> fileno() const = 0;
    virtual Result<Drain> drain_handle() = 0;
    // Called whenever a write ends or is abandoned; its result is ignored.
    virtual Result<void> cancel_write() = 0;
    // Added to the count of a zero-timeout write that would block.
    virtual std::size_t detach_write() = 0;
};

using BackendPtr = std::unique_ptr<Backend>;

// Opens a native device. Replaceable so tests can stand in a fake device.
using NativeOpener = Result<BackendPtr> (*)(std::string_view port, const port::Settings& settings, bool rts, bool dtr);
extern NativeOpener native_opener;

// True when the name starts with "loop://" in any letter case.
bool is_loopback_name(std::string_view port) noexcept;

// The loopback device for loopback names; otherwise the native device, after
// refusing a name with an embedded NUL (which would open a truncated path).
Result<BackendPtr> open(std::string_view port, const port::Settings& settings, bool rts, bool dtr);

}  // namespace marovenda::backend
