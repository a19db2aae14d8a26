#include "backend/native/native.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

#include "errors/errno_text.hpp"
#include "poll/fd_ready.hpp"
#include "runtime/runtime.hpp"

namespace marovenda::backend::native {

std::string_view errno_description(int code) noexcept {
    for (const auto& e : errno_text::table)
        if (e.code == code) return e.text;
    return "Unknown errno";
}

namespace {

using poll::FdReady;

// Two styles of failure text. Calls of the serial layer (open, locking, the
// line-parameter setters, modem lines, counts, flushes, breaks) describe an
// errno with the bare text; the calls made directly on the descriptor (the
// extra terminal attributes, setting both lines at once, dup, read, write)
// report "<strerror> (os error N)".
SerialError layer_error(int code) { return SerialError::described(std::string(errno_description(code))); }

// Bits the terminal attributes keep (everything else is cleared: unknown
// bits never survive a rewrite).
constexpr tcflag_t kInputKnown = 0x7fff;
constexpr tcflag_t kInputKeep = kInputKnown & ~tcflag_t(INPCK | ISTRIP | IXON | IXOFF | IXANY);
constexpr tcflag_t kInputKeepXon = kInputKeep | IXANY;
constexpr tcflag_t kOutputKeep = 0xffff;
constexpr tcflag_t kLocalKeep = 0x1dfff;
constexpr tcflag_t kControlKeep = 0x900f1fff;  // clears CMSPAR
constexpr tcflag_t kControlNoParityBits = kControlKeep & ~tcflag_t(PARENB | PARODD);
constexpr tcflag_t kCmspar = CMSPAR;
static_assert(kInputKeep == 0x63cf && kInputKeepXon == 0x6bcf && kControlNoParityBits == 0x900f1cff);
static_assert(IXON == 0x400 && IXOFF == 0x1000 && PARENB == 0x100 && PARODD == 0x200);

std::optional<speed_t> standard_speed(std::uint32_t rate) {
    switch (rate) {
        case 0: return B0;
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1152000: return B1152000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        case 2500000: return B2500000;
        case 3000000: return B3000000;
        case 3500000: return B3500000;
        case 4000000: return B4000000;
        default: return std::nullopt;
    }
}

enum class Line { Leave, High, Low };

class NativePort final : public Backend {
public:
    NativePort(TtyCalls& calls, asio::io_context& io, int fd, bool exclusive) noexcept
        : calls_(calls), io_(io), fd_(fd), exclusive_(exclusive), owner_(::getpid()) {}

    ~NativePort() override {
        if (::getpid() != owner_) {
            // An inherited port in a forked child: the reactor (and its epoll
            // set) is the parent's, so leave its registration alone, and the
            // exclusive mode with it; only this descriptor goes.
            (void)ready_.release();
            calls_.close(fd_);
            return;
        }
        ready_.reset();  // deregisters before the descriptor number can be reused
        // A pty keeps its terminal while the master lives: drop the exclusive
        // mode, or later opens by others would stay refused.
        if (exclusive_) (void)calls_.ioctl(fd_, TIOCNXCL, nullptr);
        calls_.close(fd_);  // also releases the advisory lock
    }

    poll::Poll<Result<std::size_t>> poll_read(poll::Context& cx, std::span<std::uint8_t> buf) override {
        return attempt(cx, FdReady::Direction::Read, [&] { return ::read(fd_, buf.data(), buf.size()); });
    }

    poll::Poll<Result<std::size_t>> poll_write(poll::Context& cx, std::span<const std::uint8_t> bytes) override {
        if (bytes.empty()) return Result<std::size_t>(std::size_t{0});
        return attempt(cx, FdReady::Direction::Write, [&] { return ::write(fd_, bytes.data(), bytes.size()); });
    }


    Result<void> configure(const port::Settings& s, bool rts, bool dtr) override {
        const tcflag_t size = s.bytesize == 5 ? CS5 : s.bytesize == 6 ? CS6 : s.bytesize == 7 ? CS7 : CS8;
        if (auto r = modify([&](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | size; }); !r) return r;
        if (auto r = modify([&](termios& t) {
                t.c_cflag &= ~(PARENB | PARODD);
                if (s.parity == port::Parity::Even) t.c_cflag |= PARENB;
                if (s.parity == port::Parity::Odd) t.c_cflag |= PARENB | PARODD;
            });
            !r)
            return r;
        // 1.5 stop bits are sent as 2.
        if (auto r = modify([&](termios& t) {
                if (s.stopbits == port::StopBits::One) t.c_cflag &= ~CSTOPB;
                else t.c_cflag |= CSTOPB;
            });
            !r)
            return r;
        if (auto r = modify([&](termios& t) {
                t.c_iflag &= ~(IXON | IXOFF);
                if (s.rtscts) t.c_cflag |= CRTSCTS;
                else t.c_cflag &= ~CRTSCTS;
            });
            !r)
            return r;
        if (auto r = apply(s); !r) return r;
        if (auto r = set_baud(s.baudrate); !r) return r;
        return set_lines(s.rtscts ? Line::Leave : rts ? Line::High : Line::Low,
                         s.dsrdtr ? Line::Leave : dtr ? Line::High : Line::Low);
    }

    Result<void> set_rts(bool level) override { return write_line(TIOCM_RTS, level); }
    Result<void> set_dtr(bool level) override { return write_line(TIOCM_DTR, level); }
    Result<bool> cts() override { return modem_bit(TIOCM_CTS); }
    Result<bool> dsr() override { return modem_bit(TIOCM_DSR); }
    Result<bool> ri() override { return modem_bit(TIOCM_RNG); }
    Result<bool> cd() override { return modem_bit(TIOCM_CAR); }
    Result<std::uint32_t> in_waiting() override { return count(FIONREAD); }
    Result<std::uint32_t> out_waiting() override { return count(TIOCOUTQ); }

    Result<void> clear_buffers(bool input, bool output) override {
        if (!input && !output) return {};
        const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        if (int e = calls_.tcflush(fd_, queue)) return layer_error(e);
        return {};
    }

    Result<void> set_break_state(bool on) override {
        if (int e = calls_.ioctl(fd_, on ? TIOCSBRK : TIOCCBRK, nullptr)) return layer_error(e);
        return {};
    }

    std::optional<std::int32_t> fileno() const override { return fd_; }

    // A fresh duplicate each time: the drain runs on the blocking pool and may
    // outlive this device.
    Result<Drain> drain_handle() override {
        int copy = -1;
        if (int e = calls_.dup_cloexec(fd_, copy)) return SerialError::from_errno(e);
        return Drain(copy);
    }

    Result<void> cancel_write() override { return {}; }
    std::size_t detach_write() override { return 0; }

    // The serial layer's rate setter; rates without a B constant go through
    // termios2.
    Result<void> set_baud(std::uint32_t rate) {
        if (auto code = standard_speed(rate)) return modify([&](termios& t) {
                ::cfsetispeed(&t, *code);
                ::cfsetospeed(&t, *code);
                // An input rate left from an earlier termios2 rate would
                // otherwise stay in force; without one, input follows output.
                t.c_cflag &= ~tcflag_t{CIBAUD};
            });
        if (int e = calls_.set_custom_speed(fd_, rate)) return layer_error(e);
        return {};
    }

private:
    // One non-blocking call. The reactor is edge-triggered: only a call that
    // would block may clear the readiness and wait for the next edge.
    template <class Call>
    poll::Poll<Result<std::size_t>> attempt(poll::Context& cx, FdReady::Direction d, Call call) {
        const int side = d == FdReady::Direction::Read ? 0 : 1;
        for (int tries = 0;; ++tries) {
            const ssize_t n = call();
            if (n >= 0) {
                settled(side);
                return Result<std::size_t>(static_cast<std::size_t>(n));
            }
            const int e = errno;
            if (e == EINTR) continue;
            if (e != EAGAIN) {
                settled(side);
                return Result<std::size_t>(SerialError::from_errno(e));
            }
            if (cx.fd_waiter) {
                // The driving thread sleeps on the descriptor itself, in a
                // level-triggered poll: readiness that came meanwhile ends
                // that sleep at once.
                cx.fd_waiter->watch(fd_, side == 0 ? POLLIN : POLLOUT);
                return poll::Pending{};
            }
            if (!ready_) {
                try {
                    ready_ = std::make_unique<FdReady>(io_, fd_);
                } catch (const std::system_error& err) {
                    return Result<std::size_t>(SerialError::from_errno(err.code().value()));
                }
            }
            waiting_[side] = true;
            ready_->clear_ready(d);
            if (ready_->poll_ready(d, cx).pending()) return poll::Pending{};
            if (tries == 3) {
                // Readiness that keeps being reported without the call getting
                // through: yield to the scheduler instead of spinning here.
                cx.waker.wake();
                return poll::Pending{};
            }
        }
    }

    // The descriptor is watched by the reactor only while a call waits on it:
    // a registered terminal wakes the reactor for every piece of input the
    // driver pushes, which would cost a streaming reader about half its rate.
    // A direction stops waiting when one of its calls gets through.
    void settled(int side) {
        waiting_[side] = false;
        if (ready_ && !waiting_[1 - side]) ready_.reset();
    }

    // A line-parameter setter of the serial layer: read, change, write back.
    template <class F>
    Result<void> modify(F&& change) {
        termios t{};
        if (int e = calls_.tcgetattr(fd_, t)) return layer_error(e);
        change(t);
        if (int e = calls_.tcsetattr(fd_, TCSANOW, t)) return layer_error(e);
        return {};
    }

    // What the serial layer does not set: software flow control, mark and
    // space parity, and the flag bits it leaves alone.
    Result<void> apply(const port::Settings& s) {
        termios t{};
        if (int e = calls_.tcgetattr(fd_, t)) return SerialError::from_errno(e);
        t.c_iflag = s.xonxoff ? (t.c_iflag & kInputKeepXon) | IXON | IXOFF : t.c_iflag & kInputKeep;
        t.c_oflag &= kOutputKeep;
        t.c_lflag &= kLocalKeep;
        t.c_cflag &= kControlKeep;
        if (s.parity == port::Parity::Mark) t.c_cflag = (t.c_cflag & kControlNoParityBits) | kCmspar | PARENB | PARODD;
        if (s.parity == port::Parity::Space) t.c_cflag = (t.c_cflag & kControlNoParityBits) | kCmspar | PARENB;
        if (int e = calls_.tcsetattr(fd_, TCSANOW, t)) return SerialError::from_errno(e);
        return {};
    }

    // Both lines in one read-modify-write where both are driven; devices
    // without modem lines (EINVAL, ENOTTY) still configure.
    Result<void> set_lines(Line rts, Line dtr) {
        auto r = [&]() -> Result<void> {
            if (rts != Line::Leave && dtr != Line::Leave) {
                int bits = 0;
                if (int e = calls_.ioctl(fd_, TIOCMGET, &bits)) return SerialError::from_errno(e);
                bits &= ~(TIOCM_DTR | TIOCM_RTS);
                if (rts == Line::High) bits |= TIOCM_RTS;
                if (dtr == Line::High) bits |= TIOCM_DTR;
                if (int e = calls_.ioctl(fd_, TIOCMSET, &bits)) return SerialError::from_errno(e);
                return {};
            }
            if (dtr != Line::Leave)
                if (auto w = write_line(TIOCM_DTR, dtr == Line::High); !w) return w;
            if (rts != Line::Leave) return write_line(TIOCM_RTS, rts == Line::High);
            return {};
        }();
        if (!r && r.error().kind() == SerialError::Kind::Os) {
            const auto code = r.error().os_errno();
            if (code == EINVAL || code == ENOTTY) return {};
        }
        return r;
    }

    Result<void> write_line(int bit, bool level) {
        if (int e = calls_.ioctl(fd_, level ? TIOCMBIS : TIOCMBIC, &bit)) return layer_error(e);
        return {};
    }

    Result<bool> modem_bit(int bit) {
        int bits = 0;
        if (int e = calls_.ioctl(fd_, TIOCMGET, &bits)) return layer_error(e);
        return (bits & bit) != 0;
    }

    Result<std::uint32_t> count(unsigned long request) {
        int n = 0;
        if (int e = calls_.ioctl(fd_, request, &n)) return layer_error(e);
        return static_cast<std::uint32_t>(n);
    }

    TtyCalls& calls_;
    asio::io_context& io_;
    int fd_;
    bool exclusive_;
    ::pid_t owner_;
    std::unique_ptr<FdReady> ready_;  // present while a direction waits
    bool waiting_[2] = {false, false};  // read, write
};

// The serial layer's open: the descriptor, its advisory lock, raw mode and
// the rate. Errors are the layer's.
Result<std::unique_ptr<NativePort>> open_device(TtyCalls& calls, asio::io_context& io, const std::string& path,
                                                const port::Settings& settings) {
    int fd = -1;
    if (int e = calls.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, fd)) return layer_error(e);
    const bool exclusive = settings.exclusive.value_or(false);
    // Closes fd on every early return; disarmed once NativePort owns it.
    struct Guard {
        TtyCalls& calls;
        int fd;
        bool excl = false;
        ~Guard() {
            if (fd < 0) return;
            if (excl) (void)calls.ioctl(fd, TIOCNXCL, nullptr);
            calls.close(fd);
        }
    } guard{calls, fd};

    if (int e = calls.flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB)) {
        if (e == EWOULDBLOCK)
            return SerialError::described(exclusive ? "Unable to acquire exclusive lock on serial port"
                                                              : "Unable to acquire shared lock on serial port");
        return layer_error(e);
    }
    if (exclusive) {
        if (int e = calls.ioctl(fd, TIOCEXCL, nullptr)) return layer_error(e);
        guard.excl = true;
    }

    termios t{};
    if (int e = calls.tcgetattr(fd, t)) return layer_error(e);
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARODD | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    // VMIN 1: with VMIN and VTIME both 0 an empty raw read returns 0, which
    // would look like a hang-up instead of EAGAIN.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (int e = calls.tcsetattr(fd, TCSANOW, t)) return layer_error(e);

    auto dev = std::make_unique<NativePort>(calls, io, fd, exclusive);
    guard.fd = -1;
    // The rate the open was asked for; configure sets it again after the
    // attributes of its own.
    if (auto r = dev->set_baud(settings.baudrate); !r) return std::move(r).error();
    return dev;
}

}  // namespace

Result<BackendPtr> open_with(TtyCalls& calls, asio::io_context& io, std::string_view port,
                             const port::Settings& settings, bool rts, bool dtr) {
    auto opened = open_device(calls, io, std::string(port), settings);
    if (!opened) return SerialError::open_failed(port, std::move(opened).error());
    auto dev = std::move(opened).value();
    // A failed configure closes the device again; its error is not wrapped.
    if (auto r = dev->configure(settings, rts, dtr); !r) return std::move(r).error();
    return BackendPtr(std::move(dev));
}

Result<BackendPtr> open(std::string_view port, const port::Settings& settings, bool rts, bool dtr) {
    auto rt = runtime::runtime();
    if (!rt) return std::move(rt).error();
    return open_with(system_tty(), rt.value()->io(), port, settings, rts, dtr);
}

}  // namespace marovenda::backend::native
