// The in-memory device: what is written to it can be read back.
#pragma once

#include <array>
#include <mutex>

#include "backend/backend.hpp"

namespace marovenda::backend {

namespace loopback {

inline constexpr std::size_t kCapacity = 4096;

struct State {
    // A ring of at most kCapacity bytes: head is the oldest, len the count.
    std::array<std::uint8_t, kCapacity> ring{};
    std::size_t head = 0;
    std::size_t len = 0;
    std::optional<poll::Waker> read_waker;
    std::optional<poll::Waker> write_waker;
    bool rts = true;
    bool dtr = true;
};

}  // namespace loopback

// On cache lines of its own: loopbacks used by different threads never share one.
class alignas(64) LoopbackPort final : public Backend {
public:
    LoopbackPort(bool rts, bool dtr) {
        state_.rts = rts;
        state_.dtr = dtr;
    }

    poll::Poll<Result<std::size_t>> poll_read(poll::Context& cx, std::span<std::uint8_t> buf) override;
    poll::Poll<Result<std::size_t>> poll_write(poll::Context& cx, std::span<const std::uint8_t> bytes) override;

    Result<void> configure(const port::Settings& settings, bool rts, bool dtr) override;
    Result<void> set_rts(bool level) override;
    Result<void> set_dtr(bool level) override;
    Result<bool> cts() override;
    Result<bool> dsr() override;
    Result<bool> ri() override { return false; }
    Result<bool> cd() override { return true; }
    Result<std::uint32_t> in_waiting() override;
    Result<std::uint32_t> out_waiting() override { return in_waiting(); }
    Result<void> clear_buffers(bool input, bool output) override;
    Result<void> set_break_state(bool) override { return {}; }
    std::optional<std::int32_t> fileno() const override { return std::nullopt; }
    Result<Drain> drain_handle() override { return Drain(); }
    Result<void> cancel_write() override { return {}; }
    std::size_t detach_write() override { return 0; }

private:
    std::mutex m_;
    loopback::State state_;
};

}  // namespace marovenda::backend
