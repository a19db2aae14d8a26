#include <condition_variable>
#include <mutex>
#include <thread>

#include "port_fixture.hpp"

namespace marovenda::port {
namespace {

using test::FakeDevice;
using test::FakeScript;

class PortCoreState : public test::PortTest {};

TEST_F(PortCoreState, OpenNeedsANameAndAClosedSlot) {
    EXPECT_EQ(core->open().error(), SerialError::not_configured());
    open_loop();
    EXPECT_EQ(core->open().error(), SerialError::already_open());
    EXPECT_TRUE(core->is_open());
    core->close();
    core->close();  // closing twice reports nothing
    EXPECT_FALSE(core->is_open());
}

TEST_F(PortCoreState, AClosedPortStillReportsNotConfiguredFirst) {
    *PortCoreAccess::backend(*core) = std::make_unique<FakeDevice>(script);
    EXPECT_EQ(core->open().error(), SerialError::not_configured());
}

TEST_F(PortCoreState, ANameWithAnEmbeddedNulOpensNothing) {
    static int calls = 0;
    calls = 0;
    auto saved = backend::native_opener;
    backend::native_opener = [](std::string_view, const Settings&, bool, bool) -> Result<backend::BackendPtr> {
        ++calls;
        return SerialError::from_errno(2);
    };
    PortCoreAccess::state(*core)->port = std::string("/dev/ttyS0\0x", 12);
    EXPECT_EQ(core->open().error(), SerialError::value("embedded null byte"));
    EXPECT_EQ(calls, 0);
    PortCoreAccess::state(*core)->port = "/dev/ttyS0";
    EXPECT_EQ(core->open().error(), SerialError::from_errno(2));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(core->is_open());
    backend::native_opener = saved;
}

TEST_F(PortCoreState, AFailedFirstClearClosesTheNewDeviceAgain) {
    static std::shared_ptr<FakeScript> shared;
    shared = script;
    script->clear_errno = 5;
    auto saved = backend::native_opener;
    backend::native_opener = [](std::string_view, const Settings&, bool, bool) -> Result<backend::BackendPtr> {
        return backend::BackendPtr(std::make_unique<FakeDevice>(shared));
    };
    PortCoreAccess::state(*core)->port = "/dev/fake";
    EXPECT_EQ(core->open().error(), SerialError::from_errno(5));
    EXPECT_FALSE(core->is_open());
    EXPECT_TRUE(script->with([](FakeScript& s) { return s.destroyed; }));
    backend::native_opener = saved;
    shared.reset();
}

TEST_F(PortCoreState, OpenDiscardsWhatArrivedBeforeAndReopenStartsEmpty) {
    open_loop();
    feed("old");
    EXPECT_EQ(core->in_waiting().value(), 3u);
    ASSERT_TRUE(core->set_port("LOOP://other").ok());
    EXPECT_TRUE(core->is_open());
    EXPECT_EQ(core->port(), "LOOP://other");
    EXPECT_EQ(core->in_waiting().value(), 0u);
}

TEST_F(PortCoreState, SetPortOnAClosedPortOnlyStoresTheName) {
    ASSERT_TRUE(core->set_port("loop://").ok());
    EXPECT_FALSE(core->is_open());
    EXPECT_EQ(core->port(), "loop://");
}

TEST_F(PortCoreState, SetPortThatCannotReopenLeavesItClosedWithTheNewName) {
    open_loop();
    EXPECT_EQ(core->set_port(std::nullopt).error(), SerialError::not_configured());
    EXPECT_FALSE(core->is_open());
    EXPECT_EQ(core->port(), std::nullopt);

    open_loop();
    auto r = core->set_port("/dev/none");
    ASSERT_FALSE(r.ok());
    EXPECT_FALSE(core->is_open());
    EXPECT_EQ(core->port(), "/dev/none");
}

TEST_F(PortCoreState, BreakLevelIsStoredOnAClosedPortAndNotAppliedAtOpen) {
    ASSERT_TRUE(core->set_break_condition(true).ok());
    EXPECT_TRUE(core->state().break_condition);
    open_fake();
    EXPECT_TRUE(script->with([](FakeScript& s) { return s.breaks.empty(); }));
    ASSERT_TRUE(core->set_break_condition(false).ok());
    EXPECT_EQ(script->with([](FakeScript& s) { return s.breaks; }), std::vector<bool>{false});
}

TEST_F(PortCoreState, QueriesNeedAnOpenPort) {
    EXPECT_EQ(core->in_waiting().error(), SerialError::port_not_open());
    EXPECT_EQ(core->out_waiting().error(), SerialError::port_not_open());
    EXPECT_EQ(core->cts().error(), SerialError::port_not_open());
    EXPECT_EQ(core->dsr().error(), SerialError::port_not_open());
    EXPECT_EQ(core->ri().error(), SerialError::port_not_open());
    EXPECT_EQ(core->cd().error(), SerialError::port_not_open());
    EXPECT_EQ(core->fileno().error(), SerialError::port_not_open());
    EXPECT_EQ(core->reset_input_buffer().error(), SerialError::port_not_open());
    EXPECT_EQ(core->reset_output_buffer().error(), SerialError::port_not_open());
    PortCoreAccess::state(*core)->rts = false;
    open_loop();
    EXPECT_FALSE(core->cts().value());  // the stored RTS reaches the device at open
    EXPECT_TRUE(core->dsr().value());
    EXPECT_EQ(core->fileno().value(), std::nullopt);
    feed("abc");
    ASSERT_TRUE(core->reset_output_buffer().ok());
    EXPECT_EQ(core->in_waiting().value(), 0u);
}

TEST_F(PortCoreState, ANewPortHasTheDefaultSettings) {
    const State s = core->state();
    EXPECT_EQ(s.settings, Settings{});
    EXPECT_EQ(s.settings.baudrate, 9600u);
    EXPECT_EQ(s.settings.bytesize, 8);
    EXPECT_FALSE(s.settings.exclusive.has_value());
    EXPECT_TRUE(s.rts);
    EXPECT_TRUE(s.dtr);
    EXPECT_FALSE(s.break_condition);
    EXPECT_FALSE(s.port);
}

// until_closed

TEST_F(PortCoreState, AnOperationOnAClosedPortFailsWithoutTouchingTheDevice) {
    *PortCoreAccess::backend(*core) = std::make_unique<FakeDevice>(script);
    core->close();
    auto r = PortCore::read(core, 5);
    EXPECT_EQ(run(r).error(), SerialError::port_not_open());
    EXPECT_EQ(script->with([](FakeScript& s) { return s.read_polls; }), 0);
}

TEST_F(PortCoreState, CloseEndsAWaitingReadAndItsBytesAreDiscarded) {
    open_fake();
    script->push_read("ab");
    auto r = PortCore::read(core, 10);
    EXPECT_FALSE(h.step(r));
    core->close();
    EXPECT_EQ(run(r).error(), SerialError::port_not_open());
    EXPECT_FALSE(core->read_lock().is_locked());
}

TEST_F(PortCoreState, DisconnectErrorsCloseThePortOthersLeaveItOpen) {
    struct Case {
        FakeScript::ReadStep step;
        bool closes;
    };
    const Case cases[] = {
        {5, true}, {6, true}, {19, true}, {FakeScript::Zero{}, true}, {11, false}, {13, false},
    };
    for (const auto& c : cases) {
        open_fake();
        script->push_read(c.step);
        auto r = PortCore::read(core, 1);
        auto got = run(r);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(core->is_open(), !c.closes) << got.error().text();
        if (c.closes) {
            auto next = PortCore::read(core, 1);
            EXPECT_EQ(run(next).error(), SerialError::port_not_open());
        }
        core->close();
    }
    // Only the exact text without an errno counts.
    EXPECT_TRUE(is_disconnect(SerialError::os(std::nullopt, std::string(kDisconnectMessage))));
    EXPECT_FALSE(is_disconnect(SerialError::os(7, std::string(kDisconnectMessage))));
    EXPECT_FALSE(is_disconnect(SerialError::os(std::nullopt, "device reports readiness")));
    EXPECT_EQ(kDisconnectMessage.size(), 103u);
}

TEST_F(PortCoreState, AZeroByteReadReportsTheDisconnectText) {
    open_fake();
    script->push_read(FakeScript::Zero{});
    auto r = PortCore::read(core, 4);
    EXPECT_EQ(run(r).error(), SerialError::os(std::nullopt, std::string(kDisconnectMessage)));
}

TEST_F(PortCoreState, ACloseRacingWithTheStartOfAnOperationIsNeverMissed) {
    // The waiter is enabled before the open test: a close from another thread
    // at any moment either fails the start or ends the read.
    for (int i = 0; i < 200; ++i) {
        open_fake();
        auto r = PortCore::read(core, 1);
        std::thread closer([&] { core->close(); });
        auto got = run(r);
        closer.join();
        EXPECT_EQ(got.error(), SerialError::port_not_open());
    }
}

TEST_F(PortCoreState, ACloseBetweenTheOpenTestAndTheFirstPollEndsTheOperation) {
    // The close lands where no poll has registered yet. A body that touches
    // no device while it waits can only be ended by the close waiter; a
    // break touches the device of its session once, then waits.
    struct Unset {
        ~Unset() { PortCore::after_open_test = nullptr; }
    } unset;
    PortCore::after_open_test = [](PortCore& c) { c.close(); };
    auto waits = [](Session) -> poll::Task<Result<void>> {
        poll::Sleep sleep(poll::Clock::now() + std::chrono::seconds(3));
        co_await sleep;
        co_return Result<void>();
    };
    const auto t0 = std::chrono::steady_clock::now();
    open_fake();
    auto body = PortCore::until_closed(*core, waits);
    EXPECT_EQ(run(body).error(), SerialError::port_not_open());
    open_fake();
    auto brk = PortCore::send_break(core, Duration::from_millis(3000));
    EXPECT_EQ(run(brk).error(), SerialError::port_not_open());
    EXPECT_LT(test::seconds_since(t0), 1.0);
    EXPECT_TRUE(script->with([](FakeScript& s) { return s.breaks.empty(); }));
    EXPECT_FALSE(core->state().break_condition);
}

TEST_F(PortCoreState, ACloseAndReopenRightAfterAnAttemptEndTheOperationItGoesOnAs) {
    // The attempt took part of the operation, then the port was closed and
    // opened again (for the read, with bytes on the new session) before the
    // rest of the operation began. The rest must neither read nor write there.
    static std::shared_ptr<PortCore>* target;
    target = &core;
    struct Unset {
        ~Unset() { PortCore::after_attempt = nullptr; }
    } unset;
    PortCore::after_attempt = [](PortCore& c) {
        c.close();
        ASSERT_TRUE(c.open().ok());
        if (!c.read_lock().is_locked()) return;  // the write's own lock is held
        poll::Context cx;
        auto w = PortCore::write(*target, "1234567", PortCore::WriteLimit::None);
        ASSERT_TRUE(w.poll(cx).ready());
    };
    open_loop();
    feed("ooo");
    auto r = PortCore::read(core, 10);
    EXPECT_EQ(run(r).error(), SerialError::port_not_open());
    EXPECT_EQ(core->in_waiting().value(), 7u);

    ASSERT_TRUE(core->reset_input_buffer().ok());
    feed(std::string(4093, 'x'));
    auto w = PortCore::write(core, "abcdef", PortCore::WriteLimit::WriteTimeout);  // the attempt writes "abc"
    EXPECT_EQ(run(w).error(), SerialError::port_not_open());
    EXPECT_EQ(core->in_waiting().value(), 0u);  // "def" went nowhere
}

TEST_F(PortCoreState, AnOperationThatAReopenOvertookNeverReachesTheNewDevice) {
    // The close wakes the operation, but the port is open again, with data
    // or room, when it is next polled. Whichever side of its race is polled
    // first, it ends with PortNotOpen and leaves the new device alone.
    for (int round = 0; round < 20; ++round) {
        open_loop();
        feed("ooo");
        auto r = PortCore::read(core, 10);
        ASSERT_FALSE(h.step(r));
        core->close();
        ASSERT_TRUE(core->open().ok());
        feed("1234567");
        EXPECT_EQ(run(r).error(), SerialError::port_not_open()) << round;
        EXPECT_EQ(core->in_waiting().value(), 7u);

        ASSERT_TRUE(core->reset_input_buffer().ok());
        feed(std::string(4093, 'x'));
        auto w = PortCore::write(core, "abcdef", PortCore::WriteLimit::WriteTimeout);
        ASSERT_FALSE(h.step(w));  // "abc" written, waiting for room
        core->close();
        ASSERT_TRUE(core->open().ok());
        EXPECT_EQ(run(w).error(), SerialError::port_not_open()) << round;
        EXPECT_EQ(core->in_waiting().value(), 0u);
        core->close();
    }
}

TEST_F(PortCoreState, ACloseEndsOnlyTheOperationsOfTheSessionItClosed) {
    // close() wakes its waiters after it let go of the backend lock. Held
    // there, it finds the port open again with an operation of the new
    // session waiting, whose wake it must not end.
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool reached = false, go = false;
    };
    static Gate* gate;
    Gate g;
    gate = &g;
    struct Unset {
        ~Unset() { PortCore::before_close_wakes = nullptr; }
    } unset;
    PortCore::before_close_wakes = [](PortCore&) {
        std::unique_lock l(gate->m);
        gate->reached = true;
        gate->cv.notify_all();
        gate->cv.wait(l, [] { return gate->go; });
    };
    auto close_held = [&](auto start_new_session) {
        {
            std::lock_guard l(g.m);
            g.reached = g.go = false;
        }
        std::thread closer([&] { core->close(); });
        struct Release {  // on every way out, a failed check included
            Gate& g;
            std::thread& closer;
            ~Release() {
                {
                    std::lock_guard l(g.m);
                    g.go = true;
                }
                g.cv.notify_all();
                closer.join();
            }
        } release{g, closer};
        {
            std::unique_lock l(g.m);
            g.cv.wait(l, [&] { return g.reached; });
        }
        EXPECT_TRUE(core->open().ok());
        start_new_session();
    };

    open_loop(test::timeouts(Seconds::of_float(0.2)));
    auto r = PortCore::read(core, 5);
    close_held([&] { EXPECT_FALSE(h.step(r)); });
    feed("ab");
    auto read = run(r);
    ASSERT_TRUE(read.ok()) << read.error().text();
    EXPECT_EQ(read.value(), "ab");

    auto w = PortCore::write(core, "yz", PortCore::WriteLimit::WriteTimeout);
    close_held([&] {
        feed(std::string(4096, 'x'));  // the new device is full
        EXPECT_FALSE(h.step(w));
    });
    auto drained = PortCore::read(core, 4096);
    EXPECT_EQ(run(drained).value().size(), 4096u);
    auto wrote = run(w);  // the room and the old wake come together: either side may be polled first
    ASSERT_TRUE(wrote.ok()) << wrote.error().text();
    EXPECT_EQ(wrote.value(), 2u);
}

TEST_F(PortCoreState, AnOperationQueuedForItsLockWhileThePortReopensStartsOnTheNewSession) {
    // It begins when it holds its lock: the reopened port is the one it uses.
    open_loop();
    auto first_read = PortCore::read(core, 1);
    auto queued_read = PortCore::read(core, 2);
    ASSERT_FALSE(h.step(first_read));
    ASSERT_FALSE(h.step(queued_read));
    feed(std::string(4096, 'x'));
    auto first_write = PortCore::write(core, "a", PortCore::WriteLimit::WriteTimeout);
    auto queued_write = PortCore::write(core, "bc", PortCore::WriteLimit::WriteTimeout);
    ASSERT_FALSE(h.step(first_write));
    ASSERT_FALSE(h.step(queued_write));

    core->close();
    ASSERT_TRUE(core->open().ok());
    EXPECT_EQ(run(first_write).error(), SerialError::port_not_open());
    EXPECT_EQ(run(queued_write).value(), 2u);
    EXPECT_EQ(run(first_read).error(), SerialError::port_not_open());
    EXPECT_EQ(run(queued_read).value(), "bc");
}

}  // namespace
}  // namespace marovenda::port
