#include "backend/native/native.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "engine_harness.hpp"

namespace marovenda::backend::native {
namespace {

// A terminal in memory. The descriptor it hands out is one end of a socket
// pair, so the reactor can watch it and reads and writes really move bytes.
class FakeTty final : public TtyCalls {
public:
    FakeTty() {
        attrs.c_iflag = attrs.c_oflag = attrs.c_lflag = attrs.c_cflag = ~tcflag_t{0};
        ::cfsetispeed(&attrs, B38400);
        ::cfsetospeed(&attrs, B38400);
    }
    ~FakeTty() override {
        if (peer >= 0) ::close(peer);
    }

    int open(const char* path, int flags, int& fd) override {
        opened_path = path;
        open_flags = flags;
        if (int e = failing("open")) return e;
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return errno;
        fd = device = sv[0];
        peer = sv[1];
        return 0;
    }
    int close(int fd) override {
        log.push_back("close");
        return ::close(fd) == 0 ? 0 : errno;
    }
    int flock(int, int operation) override {
        log.push_back("flock");
        flock_op = operation;
        return failing("flock");
    }
    int tcgetattr(int, termios& t) override {
        if (int e = failing("tcgetattr")) return e;
        t = attrs;
        return 0;
    }
    int tcsetattr(int, int action, const termios& t) override {
        EXPECT_EQ(action, TCSANOW);
        if (int e = failing("tcsetattr")) return e;
        attrs = t;
        return 0;
    }
    int set_custom_speed(int, std::uint32_t rate) override {
        if (int e = failing("speed")) return e;
        custom_rate = rate;
        return 0;
    }
    int ioctl(int, unsigned long request, int* arg) override {
        const std::string name = request_name(request);
        if (int e = failing(name)) return e;
        if (request == TIOCMGET) *arg = modem;
        else if (request == TIOCMSET) modem = *arg;
        else if (request == TIOCMBIS) modem |= *arg;
        else if (request == TIOCMBIC) modem &= ~*arg;
        else if (request == FIONREAD) *arg = in_queue;
        else if (request == TIOCOUTQ) *arg = out_queue;
        else if (request == TIOCSBRK) in_break = true;
        else if (request == TIOCCBRK) in_break = false;
        return 0;
    }
    int tcflush(int, int queue) override {
        flushed.push_back(queue);
        return failing("tcflush");
    }
    int dup_cloexec(int fd, int& copy) override {
        if (int e = failing("dup")) return e;
        copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        return 0;
    }

    // Logs the call; returns the errno that fail() gives for it (0: none).
    int failing(const std::string& name) {
        if (name != "close" && name != "flock") log.push_back(name);
        const int nth = count[name]++;
        return fail ? fail(name, nth) : 0;
    }
    static std::string request_name(unsigned long r) {
        switch (r) {
            case TIOCMGET: return "TIOCMGET";
            case TIOCMSET: return "TIOCMSET";
            case TIOCMBIS: return "TIOCMBIS";
            case TIOCMBIC: return "TIOCMBIC";
            case FIONREAD: return "FIONREAD";
            case TIOCOUTQ: return "TIOCOUTQ";
            case TIOCSBRK: return "TIOCSBRK";
            case TIOCCBRK: return "TIOCCBRK";
            case TIOCEXCL: return "TIOCEXCL";
            case TIOCNXCL: return "TIOCNXCL";
        }
        return "ioctl " + std::to_string(r);
    }
    // Only the calls from the first configure on.
    std::vector<std::string> since(std::size_t mark) const { return {log.begin() + mark, log.end()}; }

    termios attrs{};
    int modem = TIOCM_CTS | TIOCM_CAR;
    int in_queue = 0, out_queue = 0;
    bool in_break = false;
    std::uint32_t custom_rate = 0;
    std::vector<int> flushed;
    std::string opened_path;
    int open_flags = 0, flock_op = 0;
    int device = -1, peer = -1;
    std::vector<std::string> log;
    std::map<std::string, int> count;
    std::function<int(const std::string&, int)> fail;
};

class Native : public ::testing::Test {
protected:
    Result<BackendPtr> open_port(const port::Settings& s = {}, bool rts = true, bool dtr = true) {
        return open_with(tty, h.io, "/dev/ttyFAKE0", s, rts, dtr);
    }
    BackendPtr opened(const port::Settings& s = {}, bool rts = true, bool dtr = true) {
        auto r = open_port(s, rts, dtr);
        if (!r) ADD_FAILURE() << r.error().text();
        return r ? std::move(r).value() : nullptr;
    }
    // Fails every call named name with code.
    void fail_all(std::string name, int code) {
        tty.fail = [name = std::move(name), code](const std::string& n, int) { return n == name ? code : 0; };
    }

    test::Harness h;
    FakeTty tty;
};

const std::vector<std::string> kConfigureCalls = {
    "tcgetattr", "tcsetattr",  // data bits
    "tcgetattr", "tcsetattr",  // parity
    "tcgetattr", "tcsetattr",  // stop bits
    "tcgetattr", "tcsetattr",  // flow control
    "tcgetattr", "tcsetattr",  // the extra attributes
    "tcgetattr", "tcsetattr",  // baud rate
    "TIOCMGET",  "TIOCMSET",   // RTS and DTR together
};

TEST_F(Native, OpensSharedThenConfiguresInOrder) {
    auto dev = opened();
    EXPECT_EQ(tty.opened_path, "/dev/ttyFAKE0");
    EXPECT_EQ(tty.open_flags, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(tty.flock_op, LOCK_SH | LOCK_NB);
    std::vector<std::string> expected = {"open", "flock", "tcgetattr", "tcsetattr", "tcgetattr", "tcsetattr"};
    expected.insert(expected.end(), kConfigureCalls.begin(), kConfigureCalls.end());
    EXPECT_EQ(tty.log, expected);
    EXPECT_EQ(dev->fileno(), tty.device);
    // Raw mode with reads that wait instead of returning 0 when empty.
    EXPECT_EQ(tty.attrs.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tty.attrs.c_oflag & OPOST, 0u);
    EXPECT_EQ(tty.attrs.c_cc[VMIN], 1);
    EXPECT_EQ(tty.attrs.c_cc[VTIME], 0);
    EXPECT_EQ(tty.attrs.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});

    const auto mark = tty.log.size();
    dev.reset();
    EXPECT_EQ(tty.since(mark), std::vector<std::string>{"close"});
}

TEST_F(Native, ExclusiveOpenLocksAndReleasesTheTerminal) {
    port::Settings s;
    s.exclusive = true;
    auto dev = opened(s);
    EXPECT_EQ(tty.flock_op, LOCK_EX | LOCK_NB);
    EXPECT_EQ(tty.log[2], "TIOCEXCL");
    const auto mark = tty.log.size();
    dev.reset();
    EXPECT_EQ(tty.since(mark), (std::vector<std::string>{"TIOCNXCL", "close"}));

    s.exclusive = false;  // false is shared, like absent
    tty.log.clear();
    dev = opened(s);
    EXPECT_EQ(tty.flock_op, LOCK_SH | LOCK_NB);
    EXPECT_EQ(std::count(tty.log.begin(), tty.log.end(), "TIOCEXCL"), 0);
}

TEST_F(Native, LineParametersReachTheControlFlags) {
    struct Case {
        std::uint8_t bytesize;
        port::Parity parity;
        port::StopBits stop;
        bool rtscts;
        tcflag_t size;
        tcflag_t set;    // must be set
        tcflag_t clear;  // must be clear
    };
    using P = port::Parity;
    using S = port::StopBits;
    const tcflag_t cmspar = 0x40000000;
    const Case cases[] = {
        {7, P::Even, S::OnePointFive, false, CS7, PARENB | CSTOPB, PARODD | cmspar | CRTSCTS},
        {5, P::Odd, S::One, true, CS5, PARENB | PARODD | CRTSCTS, CSTOPB | cmspar},
        {6, P::Mark, S::Two, false, CS6, PARENB | PARODD | cmspar | CSTOPB, CRTSCTS},
        {8, P::Space, S::One, false, CS8, PARENB | cmspar, PARODD | CSTOPB},
        {8, P::None, S::One, false, CS8, 0, PARENB | PARODD | cmspar},
        {9, P::None, S::Two, false, CS8, CSTOPB, PARENB},  // any other size is 8
    };
    auto dev = opened();
    for (const auto& c : cases) {
        port::Settings s;
        s.bytesize = c.bytesize;
        s.parity = c.parity;
        s.stopbits = c.stop;
        s.rtscts = c.rtscts;
        ASSERT_TRUE(dev->configure(s, true, true).ok());
        const tcflag_t f = tty.attrs.c_cflag;
        SCOPED_TRACE(int(c.bytesize));
        EXPECT_EQ(f & CSIZE, c.size);
        EXPECT_EQ(f & c.set, c.set);
        EXPECT_EQ(f & c.clear, 0u);
    }
}

TEST_F(Native, AttributeMasksAndSoftwareFlowControl) {
    auto dev = opened();
    // Bits another program left behind.
    tty.attrs.c_iflag |= IXANY | INPCK | ISTRIP | 0x10000;
    tty.attrs.c_oflag |= 0x10000;
    tty.attrs.c_lflag |= 0x2000 | 0x20000;
    tty.attrs.c_cflag |= 0x00100000 | 0x40000000;
    port::Settings s;
    s.xonxoff = true;
    ASSERT_TRUE(dev->configure(s, true, true).ok());
    EXPECT_EQ(tty.attrs.c_iflag & (IXON | IXOFF | IXANY), tcflag_t{IXON | IXOFF | IXANY});
    EXPECT_EQ(tty.attrs.c_iflag & (INPCK | ISTRIP | 0x10000), 0u);
    EXPECT_EQ(tty.attrs.c_oflag & 0x10000, 0u);
    EXPECT_EQ(tty.attrs.c_lflag & (0x2000 | 0x20000), 0u);
    EXPECT_EQ(tty.attrs.c_cflag & (0x00100000 | 0x40000000), 0u);

    s.xonxoff = false;
    ASSERT_TRUE(dev->configure(s, true, true).ok());
    EXPECT_EQ(tty.attrs.c_iflag & (IXON | IXOFF | IXANY), 0u);
}

TEST_F(Native, StandardRatesUseTheBConstantsOthersTermios2AfterTheAttributes) {
    port::Settings s;
    s.baudrate = 115200;
    auto dev = opened(s);
    EXPECT_EQ(::cfgetospeed(&tty.attrs), speed_t{B115200});
    EXPECT_EQ(::cfgetispeed(&tty.attrs), speed_t{B115200});
    // No separate input rate survives (the fake starts with every bit set).
    EXPECT_EQ(tty.attrs.c_cflag & CIBAUD, 0u);
    EXPECT_EQ(tty.custom_rate, 0u);

    s.baudrate = 250000;
    const auto mark = tty.log.size();
    ASSERT_TRUE(dev->configure(s, true, true).ok());
    auto calls = tty.since(mark);
    ASSERT_EQ(calls.size(), 13u);
    EXPECT_EQ(calls[10], "speed");  // after the attributes, before the lines
    EXPECT_EQ(tty.custom_rate, 250000u);

    // Every standard rate as its own constant, both directions.
    const std::pair<std::uint32_t, speed_t> standard[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    tty.custom_rate = 0;
    for (const auto& [rate, code] : standard) {
        s.baudrate = rate;
        ASSERT_TRUE(dev->configure(s, true, true).ok()) << rate;
        EXPECT_EQ(::cfgetospeed(&tty.attrs), code) << rate;
        EXPECT_EQ(::cfgetispeed(&tty.attrs), code) << rate;
    }
    EXPECT_EQ(tty.custom_rate, 0u);
}

TEST_F(Native, ConfigureLeavesRtsUnderRtsctsAndDtrUnderDsrdtr) {
    struct Case {
        bool rtscts, dsrdtr, rts, dtr;
        std::vector<std::string> calls;
        int modem;  // expected afterwards, from CTS|CAR
    };
    const int base = TIOCM_CTS | TIOCM_CAR;
    const Case cases[] = {
        {false, false, false, true, {"TIOCMGET", "TIOCMSET"}, base | TIOCM_DTR},
        {false, false, true, false, {"TIOCMGET", "TIOCMSET"}, base | TIOCM_RTS},
        {true, false, false, false, {"TIOCMBIC"}, base | TIOCM_RTS},   // only DTR written
        {false, true, false, false, {"TIOCMBIC"}, base | TIOCM_DTR},   // only RTS written
        {true, true, false, false, {}, base | TIOCM_RTS | TIOCM_DTR},  // neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rtscts << c.dsrdtr << c.rts << c.dtr);
        FakeTty fresh;
        fresh.modem = base | TIOCM_RTS | TIOCM_DTR;
        port::Settings s;
        s.rtscts = c.rtscts;
        s.dsrdtr = c.dsrdtr;
        auto dev = open_with(fresh, h.io, "/dev/ttyFAKE0", s, c.rts, c.dtr);
        ASSERT_TRUE(dev.ok());
        std::vector<std::string> lines;
        for (auto& n : fresh.since(18)) lines.push_back(n);
        EXPECT_EQ(lines, c.calls);
        EXPECT_EQ(fresh.modem, c.modem);
    }
}

TEST_F(Native, ModemLineErrnosEinvalAndEnottyDoNotStopConfigure) {
    struct Case {
        const char* call;
        int code;
        bool rtscts;
        bool opens;
    };
    const Case cases[] = {
        {"TIOCMGET", ENOTTY, false, true}, {"TIOCMSET", EINVAL, false, true}, {"TIOCMBIS", ENOTTY, true, true},
        {"TIOCMGET", EIO, false, false},   {"TIOCMBIS", EPERM, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.call << " " << c.code);
        FakeTty fresh;
        fresh.fail = [&](const std::string& n, int) { return n == c.call ? c.code : 0; };
        port::Settings s;
        s.rtscts = c.rtscts;
        auto dev = open_with(fresh, h.io, "/dev/ttyFAKE0", s, true, true);
        EXPECT_EQ(dev.ok(), c.opens);
        if (!dev) {
            EXPECT_EQ(dev.error().os_errno(), c.code);
            // Not wrapped in "could not open port", and the device is closed.
            EXPECT_EQ(dev.error().text().find("could not open"), std::string::npos);
            EXPECT_EQ(fresh.log.back(), "close");
        }
    }
}

TEST_F(Native, TwoMessageStyles) {
    // The serial layer's bare text for the line setters and modem lines...
    fail_all("TIOCMBIS", ENOTTY);
    auto dev = opened();
    auto rts = dev->set_rts(true);
    ASSERT_FALSE(rts.ok());
    EXPECT_EQ(rts.error(), SerialError::os(25, "Not a typewriter"));
    auto dtr = dev->set_dtr(true);  // reported here, though configure tolerates it
    EXPECT_EQ(dtr.error().text(), "Not a typewriter");

    // ...and "(os error N)" for the calls made on the descriptor directly.
    fail_all("dup", EMFILE);
    auto drain = dev->drain_handle();
    ASSERT_FALSE(drain.ok());
    EXPECT_EQ(drain.error(), SerialError::os(EMFILE, "Too many open files (os error 24)"));

    // The extra-attributes step is direct; the setters before it are not.
    port::Settings s;
    tty.fail = [](const std::string& n, int nth) { return n == "tcgetattr" && nth == 4 ? EIO : 0; };
    tty.count.clear();
    auto r = dev->configure(s, true, true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), SerialError::os(EIO, "Input/output error (os error 5)"));
    tty.count.clear();
    tty.fail = [](const std::string& n, int nth) { return n == "tcsetattr" && nth == 1 ? EIO : 0; };
    const auto mark = tty.log.size();
    r = dev->configure(s, true, true);
    EXPECT_EQ(r.error(), SerialError::os(EIO, "I/O error"));
    // The first failing step ends configure.
    EXPECT_EQ(tty.since(mark), (std::vector<std::string>{"tcgetattr", "tcsetattr", "tcgetattr", "tcsetattr"}));
}

TEST_F(Native, OpenFailureTexts) {
    struct Case {
        const char* call;
        int code;
        bool exclusive;
        const char* text;
        std::optional<std::int32_t> errno_;
    };
    const Case cases[] = {
        {"open", ENOENT, false, "could not open port /dev/ttyFAKE0: [Errno 2] No such file or directory", 2},
        {"flock", EWOULDBLOCK, true, "could not open port /dev/ttyFAKE0: Unable to acquire exclusive lock on serial port",
         std::nullopt},
        {"flock", EWOULDBLOCK, false, "could not open port /dev/ttyFAKE0: Unable to acquire shared lock on serial port",
         std::nullopt},
        {"TIOCEXCL", EBUSY, true, "could not open port /dev/ttyFAKE0: [Errno 16] Device or resource busy", 16},
        {"tcgetattr", ENOTTY, false, "could not open port /dev/ttyFAKE0: [Errno 25] Not a typewriter", 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FakeTty fresh;
        fresh.fail = [&](const std::string& n, int) { return n == c.call ? c.code : 0; };
        port::Settings s;
        s.exclusive = c.exclusive;
        auto r = open_with(fresh, h.io, "/dev/ttyFAKE0", s, true, true);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), SerialError::os(c.errno_, c.text));
        if (std::string(c.call) != "open") {
            EXPECT_EQ(fresh.log.back(), "close");
        }
    }
}

TEST_F(Native, ModemStatusCountsFlushesAndBreaks) {
    auto dev = opened();
    tty.modem = TIOCM_CTS | TIOCM_RNG;
    EXPECT_TRUE(dev->cts().value());
    EXPECT_FALSE(dev->dsr().value());
    EXPECT_TRUE(dev->ri().value());
    EXPECT_FALSE(dev->cd().value());
    tty.in_queue = 7;
    tty.out_queue = 3;
    EXPECT_EQ(dev->in_waiting().value(), 7u);
    EXPECT_EQ(dev->out_waiting().value(), 3u);

    const std::tuple<bool, bool, std::vector<int>> flushes[] = {
        {true, false, {TCIFLUSH}}, {false, true, {TCOFLUSH}}, {true, true, {TCIOFLUSH}}, {false, false, {}}};
    for (const auto& [in, out, queues] : flushes) {
        tty.flushed.clear();
        EXPECT_TRUE(dev->clear_buffers(in, out).ok());
        EXPECT_EQ(tty.flushed, queues);
    }

    EXPECT_TRUE(dev->set_break_state(true).ok());
    EXPECT_TRUE(tty.in_break);
    EXPECT_TRUE(dev->set_break_state(false).ok());
    EXPECT_FALSE(tty.in_break);

    fail_all("TIOCMGET", EIO);
    EXPECT_EQ(dev->cd().error(), SerialError::os(5, "I/O error"));
    fail_all("TIOCSBRK", ENOTTY);
    EXPECT_EQ(dev->set_break_state(true).error(), SerialError::os(25, "Not a typewriter"));
}

TEST_F(Native, EachDrainGetsItsOwnDuplicate) {
    auto dev = opened();
    auto a = dev->drain_handle();
    auto b = dev->drain_handle();
    ASSERT_TRUE(a.ok() && b.ok());
    const int fa = *a.value().fd(), fb = *b.value().fd();
    EXPECT_NE(fa, tty.device);
    EXPECT_NE(fa, fb);
    EXPECT_TRUE(::fcntl(fa, F_GETFD) & FD_CLOEXEC);
}

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST_F(Native, ReadsWaitForTheReactorAndEndOfFileIsZero) {
    auto dev = opened();
    std::vector<std::uint8_t> buf(16);
    auto first = dev->poll_read(h.cx, buf);
    ASSERT_TRUE(first.pending());
    const int seen = h.waker->count();
    ASSERT_EQ(::write(tty.peer, "abc", 3), 3);
    ASSERT_TRUE(h.waker->wait_past(seen, std::chrono::seconds(5)));
    auto got = dev->poll_read(h.cx, buf);
    ASSERT_TRUE(got.ready());
    EXPECT_EQ(got.value().value(), 3u);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "abc");

    // Pending again, then the other end goes away: ready with no data.
    ASSERT_TRUE(dev->poll_read(h.cx, buf).pending());
    const int seen2 = h.waker->count();
    ::close(std::exchange(tty.peer, -1));
    ASSERT_TRUE(h.waker->wait_past(seen2, std::chrono::seconds(5)));
    auto eof = dev->poll_read(h.cx, buf);
    ASSERT_TRUE(eof.ready());
    EXPECT_EQ(eof.value().value(), 0u);
}

TEST_F(Native, AFullDeviceMakesTheWriterWaitAndErrorsKeepTheirErrno) {
    auto dev = opened();
    const std::string chunk(65536, 'x');
    std::size_t total = 0;
    for (;;) {
        auto w = dev->poll_write(h.cx, bytes(chunk));
        if (w.pending()) break;
        ASSERT_TRUE(w.value().ok());
        total += w.value().value();
        ASSERT_LT(total, std::size_t{64} << 20);
    }
    const int seen = h.waker->count();
    std::vector<char> sink(1 << 20);
    while (::read(tty.peer, sink.data(), sink.size()) > 0) {
    }
    ASSERT_TRUE(h.waker->wait_past(seen, std::chrono::seconds(5)));
    auto w = dev->poll_write(h.cx, bytes(chunk));
    ASSERT_TRUE(w.ready());
    EXPECT_GT(w.value().value(), 0u);

    // A socket's closed peer raises SIGPIPE, which a terminal never does.
    auto* previous = ::signal(SIGPIPE, SIG_IGN);
    ::close(std::exchange(tty.peer, -1));
    auto broken = dev->poll_write(h.cx, bytes(chunk));
    ::signal(SIGPIPE, previous);
    ASSERT_TRUE(broken.ready());
    EXPECT_EQ(broken.value().error().os_errno(), EPIPE);
    EXPECT_EQ(broken.value().error().text(), "Broken pipe (os error 32)");
}

TEST_F(Native, AReadThatGetsThroughKeepsTheWaitingWriterWatched) {
    auto dev = opened();
    test::Harness other;  // a second waker for the writer
    const std::string chunk(65536, 'x');
    while (dev->poll_write(other.cx, bytes(chunk)).ready()) {
    }
    std::vector<std::uint8_t> buf(16);
    ASSERT_TRUE(dev->poll_read(h.cx, buf).pending());
    const int seen_read = h.waker->count();
    ASSERT_EQ(::write(tty.peer, "r", 1), 1);
    ASSERT_TRUE(h.waker->wait_past(seen_read, std::chrono::seconds(5)));
    auto got = dev->poll_read(h.cx, buf);
    ASSERT_TRUE(got.ready());  // the read direction is settled; the writer still waits

    const int seen = other.waker->count();
    std::vector<char> sink(1 << 20);
    while (::read(tty.peer, sink.data(), sink.size()) > 0) {
    }
    ASSERT_TRUE(other.waker->wait_past(seen, std::chrono::seconds(5)));
    EXPECT_TRUE(dev->poll_write(other.cx, bytes(chunk)).ready());
}

TEST_F(Native, AChildClosingAnInheritedPortLeavesTheParentsReactorAlone) {
    port::Settings s;
    s.exclusive = true;
    auto dev = opened(s);
    std::vector<std::uint8_t> buf(16);
    ASSERT_TRUE(dev->poll_read(h.cx, buf).pending());  // the parent waits on the reactor
    const auto mark = tty.log.size();
    const pid_t child = ::fork();
    if (child == 0) {
        dev.reset();
        // Only the descriptor was closed: no exclusive-mode change.
        _exit(tty.since(mark) == std::vector<std::string>{"close"} ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const int seen = h.waker->count();
    ASSERT_EQ(::write(tty.peer, "z", 1), 1);
    ASSERT_TRUE(h.waker->wait_past(seen, std::chrono::seconds(5)));  // still registered
    auto got = dev->poll_read(h.cx, buf);
    ASSERT_TRUE(got.ready());
    EXPECT_EQ(got.value().value(), 1u);
}

}  // namespace
}  // namespace marovenda::backend::native
