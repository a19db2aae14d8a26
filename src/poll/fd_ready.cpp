#include "poll/fd_ready.hpp"

#include <poll.h>

#include <asio.hpp>
#include <mutex>

namespace marovenda::poll {

namespace {

struct Side {
    std::mutex m;
    Waker waker;
    bool ready = true;  // unknown until a call has found it would block
    bool armed = false;
};

}  // namespace

struct FdReady::Impl {
    Impl(asio::io_context& io, int fd) : desc(io, fd), fd(fd) {}
    asio::posix::stream_descriptor desc;
    int fd;
    Side side[2];
};

FdReady::FdReady(asio::io_context& io, int fd) : impl_(std::make_shared<Impl>(io, fd)) {}

FdReady::~FdReady() {
    asio::error_code ec;
    impl_->desc.cancel(ec);
    impl_->desc.release();
}

Poll<void> FdReady::poll_ready(Direction d, Context& cx) {
    const int i = d == Direction::Read ? 0 : 1;
    Side& s = impl_->side[i];
    bool arm = false;
    {
        std::lock_guard g(s.m);
        if (s.ready) return ready();
        s.waker = cx.waker;
        if (!s.armed) arm = s.armed = true;
    }
    if (!arm) return Pending{};
    auto wait = d == Direction::Read ? asio::posix::stream_descriptor::wait_read
                                     : asio::posix::stream_descriptor::wait_write;
    impl_->desc.async_wait(wait, [weak = std::weak_ptr<Impl>(impl_), i](const asio::error_code& ec) {
        auto impl = weak.lock();
        if (!impl) return;
        Side& s = impl->side[i];
        Waker w;
        {
            std::lock_guard g(s.m);
            s.armed = false;
            if (ec == asio::error::operation_aborted) return;
            s.ready = true;  // also on an error, so the next call reports it
            w = s.waker;
        }
        w.wake();
    });
    // The reactor is edge-triggered: readiness that came between the call that
    // would block and the wait queued above raised no event, so look once.
    pollfd p{impl_->fd, static_cast<short>(i == 0 ? POLLIN : POLLOUT), 0};
    if (::poll(&p, 1, 0) > 0) {
        std::lock_guard g(s.m);
        s.ready = true;
        return ready();
    }
    return Pending{};
}

void FdReady::clear_ready(Direction d) {
    Side& s = impl_->side[d == Direction::Read ? 0 : 1];
    std::lock_guard g(s.m);
    s.ready = false;
}

}  // namespace marovenda::poll
