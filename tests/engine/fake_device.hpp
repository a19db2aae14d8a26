// A scripted device for what the loopback cannot produce: reads of 0 bytes,
// errors, writes that accept part or nothing, drain handles and break states.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "backend/backend.hpp"

namespace marovenda::test {

struct FakeScript {
    struct Zero {};
    using ReadStep = std::variant<std::string, int /* errno */, Zero>;
    struct WriteStep {
        std::size_t accept = SIZE_MAX;  // bytes taken of what is offered
        int error = 0;
    };

    // Queues a read result and wakes a waiting reader.
    void push_read(ReadStep s) {
        std::optional<poll::Waker> w;
        {
            std::lock_guard g(m);
            reads.push_back(std::move(s));
            w = std::exchange(read_waker, std::nullopt);
        }
        if (w) w->wake();
    }
    void push_write(WriteStep s) {
        std::optional<poll::Waker> w;
        {
            std::lock_guard g(m);
            writes.push_back(s);
            w = std::exchange(write_waker, std::nullopt);
        }
        if (w) w->wake();
    }
    template <class F>
    auto with(F f) {
        std::lock_guard g(m);
        return f(*this);
    }

    std::mutex m;
    std::deque<ReadStep> reads;    // empty: a read is pending
    std::deque<WriteStep> writes;  // empty: a write is pending
    std::optional<poll::Waker> read_waker, write_waker;
    std::string written;
    int read_polls = 0;
    std::vector<std::span<const std::uint8_t>> filled;  // where each read that gave bytes put them
    int cancel_writes = 0;
    std::vector<bool> breaks;
    std::optional<int> drain_fd;  // duplicated into each drain handle
    int drain_errno = 0;
    int clear_errno = 0;
    bool destroyed = false;
};

class FakeDevice final : public backend::Backend {
public:
    explicit FakeDevice(std::shared_ptr<FakeScript> s) : s_(std::move(s)) {}
    ~FakeDevice() override {
        std::lock_guard g(s_->m);
        s_->destroyed = true;
    }

    poll::Poll<Result<std::size_t>> poll_read(poll::Context& cx, std::span<std::uint8_t> buf) override {
        std::lock_guard g(s_->m);
        ++s_->read_polls;
        if (s_->reads.empty()) {
            s_->read_waker = cx.waker;
            return poll::Pending{};
        }
        auto& front = s_->reads.front();
        if (auto* e = std::get_if<int>(&front)) {
            auto err = SerialError::from_errno(*e);
            s_->reads.pop_front();
            return Result<std::size_t>(err);
        }
        if (std::holds_alternative<FakeScript::Zero>(front)) {
            s_->reads.pop_front();
            return Result<std::size_t>(0);
        }
        auto& data = std::get<std::string>(front);
        const std::size_t n = std::min(data.size(), buf.size());
        std::copy_n(data.begin(), n, buf.begin());
        if (n != 0) s_->filled.emplace_back(buf.data(), n);
        data.erase(0, n);
        if (data.empty()) s_->reads.pop_front();
        return Result<std::size_t>(n);
    }
    poll::Poll<Result<std::size_t>> poll_write(poll::Context& cx, std::span<const std::uint8_t> bytes) override {
        std::lock_guard g(s_->m);
        if (s_->writes.empty()) {
            s_->write_waker = cx.waker;
            return poll::Pending{};
        }
        auto step = s_->writes.front();
        s_->writes.pop_front();
        if (step.error) return Result<std::size_t>(SerialError::from_errno(step.error));
        const std::size_t n = std::min(step.accept, bytes.size());
        s_->written.append(reinterpret_cast<const char*>(bytes.data()), n);
        return Result<std::size_t>(n);
    }
    Result<void> configure(const port::Settings&, bool, bool) override { return {}; }
    Result<void> set_rts(bool) override { return {}; }
    Result<void> set_dtr(bool) override { return {}; }
    Result<bool> cts() override { return false; }
    Result<bool> dsr() override { return false; }
    Result<bool> ri() override { return false; }
    Result<bool> cd() override { return false; }
    Result<std::uint32_t> in_waiting() override { return 0u; }
    Result<std::uint32_t> out_waiting() override { return 0u; }
    Result<void> clear_buffers(bool, bool) override {
        std::lock_guard g(s_->m);
        if (s_->clear_errno) return SerialError::from_errno(s_->clear_errno);
        return {};
    }
    Result<void> set_break_state(bool on) override {
        std::lock_guard g(s_->m);
        s_->breaks.push_back(on);
        return {};
    }
    std::optional<std::int32_t> fileno() const override { return 42; }
    Result<backend::Drain> drain_handle() override;
    Result<void> cancel_write() override {
        std::lock_guard g(s_->m);
        ++s_->cancel_writes;
        return {};
    }
    std::size_t detach_write() override { return 0; }

private:
    std::shared_ptr<FakeScript> s_;
};

}  // namespace marovenda::test
