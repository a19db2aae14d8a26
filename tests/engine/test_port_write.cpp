#include <fcntl.h>
#include <cerrno>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "port_fixture.hpp"

namespace marovenda::port {
namespace {

using namespace std::chrono_literals;
using test::FakeScript;
using test::seconds_since;
using test::timeouts;

class PortWrite : public test::PortTest {
protected:
    int cancel_writes() {
        return script->with([](FakeScript& s) { return s.cancel_writes; });
    }
};

TEST_F(PortWrite, AnEmptyWriteReturnsZeroButNeedsAnOpenPort) {
    auto closed = PortCore::write(core, "", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(closed).error(), SerialError::port_not_open());
    open_loop();
    auto w = PortCore::write(core, "", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(w).value(), 0u);
}

TEST_F(PortWrite, ZeroTimeoutNeverWaits) {
    open_loop(timeouts(std::nullopt, Seconds::of_float(-0.0)));
    auto big = PortCore::write(core, std::string(5000, 'a'), PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(big).value(), 4096u);
    auto full = PortCore::write(core, "b", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(full).value(), 0u);
    core->cancel_write();  // a zero-mode write leaves the permit alone
    auto again = PortCore::write(core, "b", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(again).value(), 0u);
    PortCoreAccess::state(*core)->settings.write_timeout.reset();
    auto permitted = PortCore::write(core, "c", PortCore::WriteLimit::WriteTimeout);  // blocked: the permit ends it
    EXPECT_EQ(run(permitted).value(), 0u);
}

TEST_F(PortWrite, ADeadlineWriteTimesOutEvenWhenATinyTimeoutRoundsToZero) {
    open_fake(timeouts(std::nullopt, Seconds::of_float(0.1)));
    script->push_write({2, 0});
    auto t0 = std::chrono::steady_clock::now();
    auto w = PortCore::write(core, "abcdef", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(w).error(), SerialError::timeout("Write timeout"));  // the 2 written are not reported
    EXPECT_GE(seconds_since(t0), 0.09);

    PortCoreAccess::state(*core)->settings.write_timeout = Seconds::of_float(1e-10);
    t0 = std::chrono::steady_clock::now();
    auto tiny = PortCore::write(core, "abc", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(tiny).error(), SerialError::timeout("Write timeout"));
    EXPECT_LT(seconds_since(t0), 0.05);
}

TEST_F(PortWrite, AWriteWhoseDeadlineHasPassedWhenItFindsTheDeviceFullPollsItNoMore) {
    // The tiny timeout's deadline has passed by the first poll, which finds
    // no room: the write ends there. Room made right after that poll (the
    // seam runs only when the operation goes on) must take nothing.
    static std::shared_ptr<FakeScript>* device;
    device = &script;
    struct Unset {
        ~Unset() { PortCore::after_attempt = nullptr; }
    } unset;
    PortCore::after_attempt = [](PortCore&) { (*device)->push_write({SIZE_MAX, 0}); };
    open_fake(timeouts(std::nullopt, Seconds::of_float(1e-10)));
    auto w = PortCore::write(core, "abc", PortCore::WriteLimit::WriteTimeout);
    auto r = run(w);
    ASSERT_FALSE(r.ok()) << r.value() << " bytes written";
    EXPECT_EQ(r.error(), SerialError::timeout("Write timeout"));
    EXPECT_EQ(script->with([](FakeScript& s) { return s.written; }), "");
}

TEST_F(PortWrite, AWriteAcceptingNothingEndsWithTheCountSoFar) {
    open_fake();
    script->push_write({3, 0});
    script->push_write({0, 0});
    auto w = PortCore::write(core, "abcdef", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(w).value(), 3u);
    EXPECT_EQ(script->with([](FakeScript& s) { return s.written; }), "abc");
}

TEST_F(PortWrite, DeviceErrorsEndTheWriteAndDisconnectsCloseThePort) {
    open_fake();
    script->push_write({1, 0});
    script->push_write({0, 11});
    auto w = PortCore::write(core, "abc", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(w).error(), SerialError::from_errno(11));
    EXPECT_TRUE(core->is_open());
    script->push_write({0, 5});
    auto gone = PortCore::write(core, "abc", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(gone).error(), SerialError::from_errno(5));
    EXPECT_FALSE(core->is_open());
}

TEST_F(PortWrite, CancelWriteEndsABlockedWriteWithItsCount) {
    for (auto wt : {std::optional<Seconds>(), std::optional(Seconds::of_int(30))}) {
        open_fake(timeouts(std::nullopt, wt));
        script->push_write({2, 0});
        auto w = PortCore::write(core, "abcdef", PortCore::WriteLimit::WriteTimeout);
        EXPECT_FALSE(h.step(w));
        core->cancel_write();
        EXPECT_EQ(run(w).value(), 2u);

        core->cancel_write();  // stored: the next write ends at its first race
        auto next = PortCore::write(core, "xyz", PortCore::WriteLimit::WriteTimeout);
        EXPECT_EQ(run(next).value(), 0u);
        core->close();
    }
}

TEST_F(PortWrite, AStoredCancelRacesAWriteTheDeviceCouldTakeAndEndsOneOfThem) {
    // Room for every byte, so only the race decides: a write that finds the
    // permit is ended (the coin may first let one or more through, leaving
    // the permit stored), and the permit ends exactly one write.
    open_loop();
    core->cancel_write();
    int ended = 0;
    for (int i = 0; i < 40; ++i) {
        auto w = PortCore::write(core, "x", PortCore::WriteLimit::WriteTimeout);
        if (run(w).value() == 0) ++ended;
    }
    EXPECT_EQ(ended, 1);
}

TEST_F(PortWrite, AnUnboundedWriteIgnoresTheWriteTimeoutAndCancel) {
    open_fake(timeouts(std::nullopt, Seconds::of_int(0)));
    core->cancel_write();
    auto w = PortCore::write(core, "abcd", port::PortCore::WriteLimit::None);
    EXPECT_FALSE(h.step(w));
    script->push_write({1, 0});
    EXPECT_FALSE(h.step(w));
    script->push_write({SIZE_MAX, 0});
    EXPECT_EQ(run(w).value(), 4u);
    // The permit is still there for an ordinary write.
    PortCoreAccess::state(*core)->settings.write_timeout.reset();
    auto plain = PortCore::write(core, "x", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(plain).value(), 0u);
}

TEST_F(PortWrite, EveryWriteEndTellsTheDeviceAndADroppedWriteReleasesTheLock) {
    open_fake();
    script->push_write({SIZE_MAX, 0});
    auto done = PortCore::write(core, "ab", PortCore::WriteLimit::WriteTimeout);
    EXPECT_EQ(run(done).value(), 2u);
    EXPECT_EQ(cancel_writes(), 1);

    std::optional<WriteFuture> blocked(PortCore::write(core, "cd", PortCore::WriteLimit::WriteTimeout));
    auto queued = PortCore::write(core, "ef", PortCore::WriteLimit::WriteTimeout);
    EXPECT_FALSE(h.step(*blocked));
    EXPECT_FALSE(h.step(queued));
    blocked.reset();
    EXPECT_EQ(cancel_writes(), 2);
    script->push_write({SIZE_MAX, 0});
    EXPECT_EQ(run(queued).value(), 2u);
    EXPECT_EQ(script->with([](FakeScript& s) { return s.written; }), "abef");
}

TEST_F(PortWrite, AWriteTheDeviceTakesOnlyPartOfKeepsTheLockForTheRest) {
    open_fake();
    script->push_write({2});
    auto first = PortCore::write(core, "abcd", PortCore::WriteLimit::WriteTimeout);
    auto second = PortCore::write(core, "XY", PortCore::WriteLimit::WriteTimeout);
    EXPECT_FALSE(h.step(first));  // "ab" taken at once, waits for room
    EXPECT_FALSE(h.step(second));
    script->push_write({SIZE_MAX});
    script->push_write({SIZE_MAX});
    EXPECT_FALSE(h.step(second));
    EXPECT_EQ(run(first).value(), 4u);
    EXPECT_EQ(run(second).value(), 2u);
    EXPECT_EQ(script->with([](FakeScript& s) { return s.written; }), "abcdXY");
    EXPECT_EQ(cancel_writes(), 2);
}

TEST_F(PortWrite, CloseEndsABlockedWrite) {
    open_fake();
    auto w = PortCore::write(core, "ab", PortCore::WriteLimit::WriteTimeout);
    EXPECT_FALSE(h.step(w));
    core->close();
    EXPECT_EQ(run(w).error(), SerialError::port_not_open());
}

TEST_F(PortWrite, FlushOnTheLoopbackIsImmediateAndWaitsBehindABlockedWrite) {
    auto closed = PortCore::flush(core);
    EXPECT_EQ(run(closed).error(), SerialError::port_not_open());
    open_loop();
    auto f = PortCore::flush(core);
    EXPECT_TRUE(run(f).ok());
    EXPECT_EQ(h.pool.jobs, 0);

    feed(std::string(4096, 'a'));
    auto w = PortCore::write(core, "b", PortCore::WriteLimit::WriteTimeout);
    auto behind = PortCore::flush(core);
    EXPECT_FALSE(h.step(w));
    EXPECT_FALSE(h.step(behind));
    ASSERT_TRUE(core->reset_input_buffer().ok());
    EXPECT_EQ(run(w).value(), 1u);
    EXPECT_TRUE(run(behind).ok());
}

int open_pty() {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        ::grantpt(fd);
        ::unlockpt(fd);
    }
    return fd;
}

int open_fds() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
    return n;
}

TEST_F(PortWrite, FlushDrainsADuplicateOnThePoolAndAlwaysClosesIt) {
    open_fake();
    const int pty = open_pty();
    ASSERT_GE(pty, 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int before = open_fds();
    struct Case {
        int fd;
        std::optional<int> err;
    };
    for (const Case& c : {Case{pty, std::nullopt}, Case{fds[0], 25 /* ENOTTY */}}) {
        script->with([&](FakeScript& s) { return s.drain_fd = c.fd; });
        auto f = PortCore::flush(core);
        auto r = run(f);
        if (c.err) {
            EXPECT_EQ(r.error(), SerialError::from_errno(*c.err));
        } else {
            EXPECT_TRUE(r.ok());
        }
    }
    EXPECT_EQ(open_fds(), before);  // each duplicate was closed after its tcdrain

    script->with([](FakeScript& s) { return s.drain_errno = 24; });
    auto failing = PortCore::flush(core);
    EXPECT_EQ(run(failing).error(), SerialError::from_errno(24));

    script->with([](FakeScript& s) { return s.drain_errno = 0; });
    h.pool.refuse = true;
    auto refused = PortCore::flush(core);
    auto err = run(refused).error();
    EXPECT_EQ(err.kind(), SerialError::Kind::Os);
    EXPECT_TRUE(err.text().ends_with(" was cancelled")) << err.text();
    h.pool.refuse = false;
    EXPECT_EQ(open_fds(), before);  // the refused job closed its duplicate too
    for (int fd : {pty, fds[0], fds[1]}) ::close(fd);
}

TEST_F(PortWrite, SendBreakHoldsTheLineForItsDurationAndClearsIt) {
    open_fake();
    auto t0 = std::chrono::steady_clock::now();
    auto b = PortCore::send_break(core, Duration::from_millis(60));
    EXPECT_FALSE(h.step(b));
    EXPECT_TRUE(core->state().break_condition);
    EXPECT_TRUE(run(b).ok());
    EXPECT_GE(seconds_since(t0), 0.06);
    EXPECT_FALSE(core->state().break_condition);
    EXPECT_EQ(script->with([](FakeScript& s) { return s.breaks; }), (std::vector<bool>{true, false}));
    EXPECT_EQ(h.pool.jobs, 1);

    for (auto d : {Duration{0, 0}, Duration::from_millis(2)}) {  // no timer part, still one pool job
        auto tiny = PortCore::send_break(core, d);
        EXPECT_TRUE(run(tiny).ok());
    }
    EXPECT_EQ(h.pool.jobs, 3);
}

TEST_F(PortWrite, CloseOrDropDuringABreakClearsIt) {
    open_fake();
    auto b = PortCore::send_break(core, Duration::max());  // lasts until ended
    EXPECT_FALSE(h.step(b));
    core->close();
    EXPECT_EQ(run(b).error(), SerialError::port_not_open());
    EXPECT_FALSE(core->state().break_condition);  // on a closed port only the level is stored

    open_fake();
    std::optional<poll::Task<Result<void>>> dropped(PortCore::send_break(core, Duration{3600, 0}));
    EXPECT_FALSE(h.step(*dropped));
    dropped.reset();
    EXPECT_FALSE(core->state().break_condition);
    EXPECT_EQ(script->with([](FakeScript& s) { return s.breaks.back(); }), false);
    EXPECT_FALSE(core->write_lock().is_locked());

    h.pool.refuse = true;  // the tail cannot run: the guard clears the break
    auto refused = PortCore::send_break(core, Duration{0, 0});
    EXPECT_FALSE(run(refused).ok());
    EXPECT_FALSE(core->state().break_condition);
    h.pool.refuse = false;
}

TEST_F(PortWrite, ABreakADrainOrAWriteBegunBeforeAReopenNeverReachesTheNewDevice) {
    // The port is closed and opened again on a new device right after the
    // operation's open test. Whichever side of its race is polled first, it
    // ends with PortNotOpen and leaves the new device and its level alone.
    static std::shared_ptr<FakeScript> next;
    static std::atomic<bool> armed;
    struct Unset {
        ~Unset() { PortCore::after_open_test = nullptr; }
    } unset;
    PortCore::after_open_test = [](PortCore& c) {
        if (!armed.exchange(false)) return;
        c.close();
        *PortCoreAccess::backend(c) = std::make_unique<test::FakeDevice>(next);
    };
    for (int round = 0; round < 20; ++round) {
        open_fake();
        next = std::make_shared<FakeScript>();
        armed = true;
        auto b = PortCore::send_break(core, Duration::from_millis(1));
        EXPECT_EQ(run(b).error(), SerialError::port_not_open()) << round;
        armed = true;
        auto f = PortCore::flush(core);  // the new device would drain at once
        EXPECT_EQ(run(f).error(), SerialError::port_not_open()) << round;
        armed = true;
        auto w = PortCore::write(core, "abc", PortCore::WriteLimit::WriteTimeout);  // the first device takes nothing
        EXPECT_EQ(run(w).error(), SerialError::port_not_open()) << round;
        EXPECT_TRUE(next->with([](FakeScript& s) { return s.breaks.empty() && s.cancel_writes == 0; })) << round;
        EXPECT_FALSE(core->state().break_condition) << round;
        core->close();
    }
    next.reset();
}

TEST_F(PortWrite, TheGuardOfABreakFromAnEndedSessionUndoesOnlyTheLevelItStored) {
    // A close ends the break, and the port is opened again (and maybe closed
    // again) before the break's guard runs. The guard never reaches the new
    // device, and it undoes its own level but not one stored since.
    struct Case {
        const char* name;
        bool user_sets;  // the new session's user sets a break of its own
        bool closed_again;
    };
    for (const Case& c : {Case{"reopened", false, false}, Case{"reopened, a break of its own", true, false},
                          Case{"reopened, a break of its own, closed again", true, true}}) {
        SCOPED_TRACE(c.name);
        open_fake();
        auto b = PortCore::send_break(core, Duration::max());
        ASSERT_FALSE(h.step(b));
        core->close();
        auto fresh = std::make_shared<FakeScript>();
        *PortCoreAccess::backend(*core) = std::make_unique<test::FakeDevice>(fresh);  // opened again
        if (c.user_sets) {
            ASSERT_TRUE(core->set_break_condition(true).ok());
        }
        if (c.closed_again) core->close();
        EXPECT_EQ(run(b).error(), SerialError::port_not_open());
        EXPECT_EQ(core->state().break_condition, c.user_sets);
        EXPECT_EQ(fresh->with([](FakeScript& s) { return s.breaks; }),
                  c.user_sets ? std::vector<bool>{true} : std::vector<bool>{});
        core->close();
        ASSERT_TRUE(core->set_break_condition(false).ok());
    }
}

TEST_F(PortWrite, ADisconnectSeenAfterACloseAndReopenLeavesTheNewSessionOpen) {
    // The drain of the first session fails with EIO (its pty's other side is
    // gone) only once the port was closed and opened again: the failure
    // closes nothing. Whichever side of the race wins, the port stays open.
    const int master = open_pty();
    ASSERT_GE(master, 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ::close(master);
    script->with([&](FakeScript& s) { return s.drain_fd = slave; });
    int eio = 0;
    for (int round = 0; round < 20; ++round) {
        open_fake();
        h.pool.hold();
        auto f = PortCore::flush(core);
        ASSERT_FALSE(h.step(f));
        core->close();
        open_fake();
        const int woken = h.waker->count();
        h.pool.release();
        ASSERT_TRUE(h.waker->wait_past(woken, 5s));  // the drain has ended too
        auto r = run(f);
        ASSERT_FALSE(r.ok());
        eio += r.error() == SerialError::from_errno(EIO);
        EXPECT_TRUE(core->is_open()) << round;
        core->close();
    }
    EXPECT_GT(eio, 0);  // the drain's own error won some rounds
    ::close(slave);
}

TEST_F(PortWrite, AWriteTheDeviceKeepsTakingGivesWayAfterItsBudget) {
    // One byte accepted per device call: a poll makes at most a budget of
    // them, wakes its task and returns; the next poll goes on in order.
    open_fake();
    for (int i = 0; i < 1000; ++i) script->push_write({1, 0});
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>('a' + i % 26);
    auto w = PortCore::write(core, data, PortCore::WriteLimit::None);
    const int woken = h.waker->count();
    ASSERT_FALSE(h.step(w));
    EXPECT_GT(h.waker->count(), woken);
    const auto first = script->with([](FakeScript& s) { return s.written.size(); });
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, poll::Budget::kPerPoll + 1);
    EXPECT_EQ(run(w).value(), 1000u);
    EXPECT_EQ(script->with([](FakeScript& s) { return s.written; }), data);
}

}  // namespace
}  // namespace marovenda::port
