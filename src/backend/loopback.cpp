#include "backend/loopback.hpp"

#include <algorithm>

namespace marovenda::backend {

using loopback::kCapacity;

namespace {

void wake_taken(std::optional<poll::Waker>& slot) {
    if (slot) std::exchange(slot, std::nullopt)->wake();
}

}  // namespace

poll::Poll<Result<std::size_t>> LoopbackPort::poll_read(poll::Context& cx, std::span<std::uint8_t> buf) {
    std::lock_guard g(m_);
    auto& s = state_;
    if (s.len == 0) {
        s.read_waker = cx.waker;
        return poll::Pending{};
    }
    const std::size_t n = std::min(s.len, buf.size());
    const std::size_t first = std::min(n, kCapacity - s.head);
    std::copy_n(s.ring.begin() + static_cast<std::ptrdiff_t>(s.head), first, buf.begin());
    std::copy_n(s.ring.begin(), n - first, buf.begin() + static_cast<std::ptrdiff_t>(first));
    s.head = (s.head + n) % kCapacity;
    s.len -= n;
    wake_taken(s.write_waker);
    return Result<std::size_t>(n);
}

poll::Poll<Result<std::size_t>> LoopbackPort::poll_write(poll::Context& cx, std::span<const std::uint8_t> bytes) {
    std::lock_guard g(m_);
    auto& s = state_;
    const std::size_t n = std::min(kCapacity - s.len, bytes.size());
    if (!bytes.empty() && n == 0) {
        s.write_waker = cx.waker;
        return poll::Pending{};
    }
    const std::size_t tail = (s.head + s.len) % kCapacity;
    const std::size_t first = std::min(n, kCapacity - tail);
    std::copy_n(bytes.begin(), first, s.ring.begin() + static_cast<std::ptrdiff_t>(tail));
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(first), n - first, s.ring.begin());
    s.len += n;
    wake_taken(s.read_waker);
    return Result<std::size_t>(n);
}

Result<void> LoopbackPort::configure(const port::Settings&, bool rts, bool dtr) {
    std::lock_guard g(m_);
    state_.rts = rts;
    state_.dtr = dtr;
    return {};
}

Result<void> LoopbackPort::set_rts(bool level) {
    std::lock_guard g(m_);
    state_.rts = level;
    return {};
}

Result<void> LoopbackPort::set_dtr(bool level) {
    std::lock_guard g(m_);
    state_.dtr = level;
    return {};
}

Result<bool> LoopbackPort::cts() {
    std::lock_guard g(m_);
    return state_.rts;
}

Result<bool> LoopbackPort::dsr() {
    std::lock_guard g(m_);
    return state_.dtr;
}

Result<std::uint32_t> LoopbackPort::in_waiting() {
    std::lock_guard g(m_);
    return static_cast<std::uint32_t>(state_.len);
}

Result<void> LoopbackPort::clear_buffers(bool input, bool output) {
    if (!input && !output) return {};
    std::lock_guard g(m_);
    state_.head = 0;
    state_.len = 0;
    wake_taken(state_.write_waker);
    return {};
}

}  // namespace marovenda::backend
