#include "port/port.hpp"

#include <pthread.h>
#include <cerrno>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

#include "runtime/runtime.hpp"

namespace marovenda::port {

namespace {

// Every live port, so that fork() can take their locks first: a lock that a
// runtime or Python thread held at the fork would otherwise stay locked in
// the child for good, where that thread does not exist. What these locks
// guard never waits for anything, so the fork waits only briefly.
struct Registry {
    std::mutex mu;
    std::unordered_set<PortCore*> cores;
};

Registry& registry();

void before_fork() {
    auto& r = registry();
    r.mu.lock();
    for (PortCore* core : r.cores) core->lock_for_fork();
}

void after_fork() {
    auto& r = registry();
    for (PortCore* core : r.cores) core->unlock_after_fork();
    r.mu.unlock();
}

// Leaked on purpose: ports may outlive static destruction.
Registry& registry() {
    static Registry* r = [] {
        auto* made = new Registry;
        ::pthread_atfork(before_fork, after_fork, after_fork);
        return made;
    }();
    return *r;
}

}  // namespace

PortCore::PortCore() {
    auto& r = registry();
    std::lock_guard g(r.mu);
    r.cores.insert(this);
}

PortCore::~PortCore() {
    auto& r = registry();
    std::lock_guard g(r.mu);
    r.cores.erase(this);
}

void PortCore::lock_for_fork() {
    backend_m_.lock();
    state_m_.lock();
    read_lock_.lock_for_fork();
    write_lock_.lock_for_fork();
    closed_.lock_for_fork();
    cancel_read_.lock_for_fork();
    cancel_write_.lock_for_fork();
}

void PortCore::unlock_after_fork() {
    cancel_write_.unlock_after_fork();
    cancel_read_.unlock_after_fork();
    closed_.unlock_after_fork();
    write_lock_.unlock_after_fork();
    read_lock_.unlock_after_fork();
    state_m_.unlock();
    backend_m_.unlock();
}

bool is_disconnect(const SerialError& e) noexcept {
    if (e.kind() != SerialError::Kind::Os) return false;
    if (const auto code = e.os_errno()) return *code == EIO || *code == ENXIO || *code == ENODEV;
    return e.text() == kDisconnectMessage;
}

bool PortCore::is_open() {
    std::lock_guard g(backend_m_);
    return backend_ != nullptr;
}

backend::Backend* PortCore::device_locked(std::optional<Session> session) noexcept {
    return backend_ && (!session || *session == session_) ? backend_.get() : nullptr;
}

std::optional<Session> PortCore::open_session(std::optional<Session> since) {
    std::optional<Session> session;
    {
        std::lock_guard g(backend_m_);
        if (device_locked(since)) session = session_;
    }
    if (auto seam = after_open_test.load(std::memory_order_relaxed)) seam(*this);
    return session;
}

poll::Poll<void> PortCore::ClosedIn::poll(poll::Context& cx) {
    // Each round needs a close after the last rearm, so this ends.
    while (waiter_.poll(cx).ready()) {
        waiter_.rearm();  // before the test: a close after it still wakes this
        if (!core_.open_session(session_)) return poll::ready();
    }
    return poll::Pending{};
}

std::optional<std::string> PortCore::port() {
    std::lock_guard g(state_m_);
    return state_.port;
}

namespace {

bool line_changed(const Settings& a, const Settings& b) {
    return a.baudrate != b.baudrate || a.bytesize != b.bytesize || a.parity != b.parity ||
           a.stopbits != b.stopbits || a.xonxoff != b.xonxoff || a.rtscts != b.rtscts || a.dsrdtr != b.dsrdtr;
}

}  // namespace

Result<void> PortCore::reconfigure_locked(const Settings& before, const Settings& after, bool rts, bool dtr) {
    if (!backend_ || !line_changed(before, after)) return {};
    Result<void> r = backend_->configure(after, rts, dtr);
    if (!r) {
        std::lock_guard s(state_m_);
        state_.settings = before;
    }
    return r;
}

Result<void> PortCore::set_rts(bool level) {
    std::lock_guard b(backend_m_);
    bool rtscts;
    {
        std::lock_guard s(state_m_);
        state_.rts = level;
        rtscts = state_.settings.rtscts;
    }
    if (!backend_ || rtscts) return {};
    return backend_->set_rts(level);
}

Result<void> PortCore::set_dtr(bool level) {
    std::lock_guard b(backend_m_);
    {
        std::lock_guard s(state_m_);
        state_.dtr = level;
    }
    if (!backend_) return {};
    return backend_->set_dtr(level);
}

State PortCore::state() {
    std::lock_guard g(state_m_);
    return state_;
}

Settings PortCore::settings() {
    std::lock_guard g(state_m_);
    return state_.settings;
}

Result<void> PortCore::open() {
    std::lock_guard b(backend_m_);  // held for the whole device open
    std::string name;
    Settings settings;
    bool rts, dtr;
    {
        std::lock_guard s(state_m_);
        if (!state_.port) return SerialError::not_configured();
        name = *state_.port;
        settings = state_.settings;
        rts = state_.rts;
        dtr = state_.dtr;
    }
    if (backend_) return SerialError::already_open();
    auto opened = backend::open(name, settings, rts, dtr);
    if (!opened) return std::move(opened).error();
    auto dev = std::move(opened).value();
    // Bytes that arrived before the open are not for this user.
    if (auto cleared = dev->clear_buffers(true, false); !cleared) return std::move(cleared).error();
    backend_ = std::move(dev);
    return {};
}

void PortCore::close() { close_in(std::nullopt); }

void PortCore::close_in(std::optional<Session> session) {
    if (runtime::in_forked_child()) return close_inherited();
    backend::BackendPtr taken;
    {
        std::lock_guard g(backend_m_);
        if (session && *session != session_) return;  // that session is over already
        taken = std::move(backend_);
        ++session_;
    }
    if (auto seam = before_close_wakes.load(std::memory_order_relaxed)) seam(*this);
    closed_.notify_waiters();
    taken.reset();  // closes the device, outside the lock
}

// In a forked child only the descriptor is closed: the device object, its
// waiters and its reactor registration belong to threads the child does not
// have, so they are left alone and the object is deliberately leaked.
void PortCore::close_inherited() {
    std::lock_guard g(backend_m_);
    if (!backend_) return;
    if (auto fd = backend_->fileno()) ::close(*fd);
    (void)backend_.release();
}

Result<void> PortCore::set_port(std::optional<std::string> name) {
    const bool was_open = is_open();
    close();
    {
        std::lock_guard g(state_m_);
        state_.port = std::move(name);
    }
    if (was_open) return open();
    return {};
}

Result<void> PortCore::set_break_condition(bool level) {
    {
        std::lock_guard g(state_m_);
        state_.break_condition = level;
        ++break_stores_;
    }
    std::lock_guard g(backend_m_);
    if (backend_) return backend_->set_break_state(level);
    return {};
}

Result<BreakMark> PortCore::set_break_in(Session session) {
    std::lock_guard b(backend_m_);
    backend::Backend* device = device_locked(session);
    if (!device) return SerialError::port_not_open();
    BreakMark mark{session, 0};
    {
        std::lock_guard s(state_m_);
        state_.break_condition = true;
        mark.store = ++break_stores_;
    }
    if (auto on = device->set_break_state(true); !on) return std::move(on).error();
    return mark;
}

Result<void> PortCore::clear_break_in(const BreakMark& mark) {
    std::lock_guard b(backend_m_);
    backend::Backend* device = device_locked(mark.session);
    {
        std::lock_guard s(state_m_);
        if (device || break_stores_ == mark.store) {
            state_.break_condition = false;
            ++break_stores_;
        }
    }
    if (!device) return SerialError::port_not_open();
    return device->set_break_state(false);
}

Result<std::optional<std::int32_t>> PortCore::fileno() {
    return with_backend([](backend::Backend& b) { return Result<std::optional<std::int32_t>>(b.fileno()); });
}
Result<bool> PortCore::cd() {
    return with_backend([](backend::Backend& b) { return b.cd(); });
}
Result<bool> PortCore::ri() {
    return with_backend([](backend::Backend& b) { return b.ri(); });
}
Result<bool> PortCore::cts() {
    return with_backend([](backend::Backend& b) { return b.cts(); });
}
Result<bool> PortCore::dsr() {
    return with_backend([](backend::Backend& b) { return b.dsr(); });
}
Result<std::uint32_t> PortCore::in_waiting() {
    return with_backend([](backend::Backend& b) { return b.in_waiting(); });
}
Result<std::uint32_t> PortCore::out_waiting() {
    return with_backend([](backend::Backend& b) { return b.out_waiting(); });
}
Result<void> PortCore::reset_input_buffer() {
    return with_backend([](backend::Backend& b) { return b.clear_buffers(true, false); });
}
Result<void> PortCore::reset_output_buffer() {
    return with_backend([](backend::Backend& b) { return b.clear_buffers(false, true); });
}

poll::Poll<Result<std::size_t>> PortCore::poll_read_locked(poll::Context& cx, std::span<std::uint8_t> buf,
                                                          Session session) {
    backend::Backend* device = device_locked(session);
    if (!device) return Result<std::size_t>(SerialError::port_not_open());
    return device->poll_read(cx, buf);
}

poll::Poll<Result<std::size_t>> PortCore::poll_write_locked(poll::Context& cx, std::span<const std::uint8_t> bytes,
                                                           Session session) {
    backend::Backend* device = device_locked(session);
    if (!device) return Result<std::size_t>(SerialError::port_not_open());
    return device->poll_write(cx, bytes);
}

poll::Poll<Result<std::size_t>> PortCore::poll_read_some(poll::Context& cx, std::span<std::uint8_t> buf,
                                                        Session session) {
    std::lock_guard g(backend_m_);
    return poll_read_locked(cx, buf, session);
}

poll::Poll<Result<std::size_t>> PortCore::poll_write_some(poll::Context& cx, std::span<const std::uint8_t> bytes,
                                                         Session session) {
    std::lock_guard g(backend_m_);
    return poll_write_locked(cx, bytes, session);
}

poll::Poll<Result<std::size_t>> PortCore::poll_read_first(poll::Context& cx, std::span<std::uint8_t> buf,
                                                         Session& seen) {
    std::lock_guard g(backend_m_);
    seen = session_;
    return poll_read_locked(cx, buf, seen);
}

poll::Poll<Result<std::size_t>> PortCore::poll_write_first(poll::Context& cx, std::span<const std::uint8_t> bytes,
                                                          Session& seen) {
    std::lock_guard g(backend_m_);
    seen = session_;
    auto p = poll_write_locked(cx, bytes, seen);
    if (p.ready() && p.value() && (p.value().value() == 0 || p.value().value() == bytes.size()))
        (void)backend_->cancel_write();
    return p;
}

CancelWrite::~CancelWrite() {
    (void)core_->with_backend_in(session_, [](backend::Backend& b) { return b.cancel_write(); });
}

BreakGuard::~BreakGuard() {
    if (core_) (void)core_->clear_break_in(mark_);
}

}  // namespace marovenda::port
