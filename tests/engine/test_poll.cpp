#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

#include "engine_harness.hpp"
#include "poll/block_on.hpp"
#include "poll/blocking.hpp"
#include "poll/combinators.hpp"
#include "poll/fd_ready.hpp"
#include "poll/frame_pool.hpp"
#include "poll/mutex.hpp"
#include "poll/notify.hpp"

namespace marovenda::poll {
namespace {

using test::CountingWaker;
using test::Harness;

struct Manual {
    std::shared_ptr<CountingWaker> w = std::make_shared<CountingWaker>();
    Context cx{Waker(w), nullptr, nullptr};
};

TEST(FramePool, UnderAddressSanitizerAKeptFrameIsPoisonedUntilHandedOutAgain) {
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "only AddressSanitizer builds poison kept frames";
#else
    void* p = frame_alloc(200);
    frame_free(p, 200);
    EXPECT_TRUE(__asan_address_is_poisoned(p));
    void* again = frame_alloc(200);
    ASSERT_EQ(again, p);  // the pool is on: the same block comes back
    EXPECT_EQ(__asan_region_is_poisoned(again, 200), nullptr);
    EXPECT_TRUE(__asan_address_is_poisoned(static_cast<char*>(again) + 200));  // the rest of its class
    frame_free(again, 200);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(static_cast<volatile char*>(p)[8] = 1, "use-after-poison");
#endif
}

TEST(FramePool, BlocksFreedBeyondWhatAClassKeepsAreNeverHandedOutTwice) {
    // Two neighbouring classes each get more blocks back than a class keeps
    // (16), the lower first, and as many are taken again: every live block is
    // its own. On a new thread, whose pool starts empty.
    std::thread([] {
        constexpr std::size_t kSizes[] = {200, 260};
        constexpr int kEach = 24;
        std::vector<void*> freed;
        for (std::size_t size : kSizes)
            for (int i = 0; i < kEach; ++i) freed.push_back(frame_alloc(size));
        for (std::size_t i = 0; i < freed.size(); ++i) frame_free(freed[i], kSizes[i / kEach]);
        struct Live {
            unsigned char* p;
            std::size_t size;
        };
        std::vector<Live> live;
        for (std::size_t size : kSizes)
            for (int i = 0; i < kEach; ++i) live.push_back({static_cast<unsigned char*>(frame_alloc(size)), size});
        std::set<void*> distinct;
        for (const Live& b : live) distinct.insert(b.p);
        EXPECT_EQ(distinct.size(), live.size());
        for (std::size_t i = 0; i < live.size(); ++i) std::memset(live[i].p, int(i + 1), live[i].size);
        for (std::size_t i = 0; i < live.size(); ++i)
            for (std::size_t j = 0; j < live[i].size; ++j)
                ASSERT_EQ(live[i].p[j], i + 1) << "block " << i << " was overwritten at byte " << j;
        for (const Live& b : live) frame_free(b.p, b.size);
    }).join();
}

TEST(AsyncMutex, HandsTheLockToTheHeadWaiterInArrivalOrder) {
    AsyncMutex m;
    Manual a, b, c, d;
    auto la = m.lock(), lb = m.lock(), lc = m.lock();
    auto ga = la.poll(a.cx);
    ASSERT_TRUE(ga.ready());
    EXPECT_TRUE(lb.poll(b.cx).pending());
    EXPECT_TRUE(lc.poll(c.cx).pending());
    { auto drop = std::move(ga).value(); }
    EXPECT_EQ(b.w->count(), 1);  // handed to the head, still locked
    EXPECT_EQ(c.w->count(), 0);
    EXPECT_TRUE(m.is_locked());
    auto ld = m.lock();
    EXPECT_TRUE(ld.poll(d.cx).pending());  // a newcomer queues behind
    auto gb = lb.poll(b.cx);
    ASSERT_TRUE(gb.ready());
    { auto drop = std::move(gb).value(); }
    EXPECT_TRUE(lc.poll(c.cx).ready());
}

TEST(AsyncMutex, DroppedWaitersLeaveTheQueueAndPassAnUnobservedGrantOn) {
    AsyncMutex m;
    Manual b, c;
    auto held = m.try_lock();
    ASSERT_TRUE(held);
    std::unique_ptr<AsyncMutex::Lock> lb(new AsyncMutex::Lock(m.lock())), lc(new AsyncMutex::Lock(m.lock()));
    EXPECT_TRUE(lb->poll(b.cx).pending());
    EXPECT_TRUE(lc->poll(c.cx).pending());
    held.reset();  // granted to b, which never looks
    EXPECT_EQ(b.w->count(), 1);
    lb.reset();
    EXPECT_EQ(c.w->count(), 1);
    EXPECT_TRUE(lc->poll(c.cx).ready());

    // A queued waiter that is dropped leaves no trace.
    AsyncMutex m2;
    auto h2 = m2.try_lock();
    std::unique_ptr<AsyncMutex::Lock> q(new AsyncMutex::Lock(m2.lock()));
    EXPECT_TRUE(q->poll(b.cx).pending());
    q.reset();
    h2.reset();
    EXPECT_FALSE(m2.is_locked());
}

TEST(AsyncMutex, ThreadsTakingItAtOnceExcludeEachOtherAndNoneIsLeftWaiting) {
    // Both paths race here: the one-atomic take and release, and the queue
    // once a thread finds the lock held. The counters are guarded by the lock
    // alone, so a broken exclusion also shows as a data race under TSan.
    AsyncMutex m;
    long inside = 0, total = 0;
    constexpr int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            Manual me;
            for (int i = 0; i < kRounds; ++i) {
                auto lock = m.lock();
                for (;;) {
                    const int seen = me.w->count();
                    auto p = lock.poll(me.cx);
                    if (p.ready()) {
                        auto guard = std::move(p).value();
                        if (++inside != 1) ADD_FAILURE() << "two holders at once";
                        ++total;
                        --inside;
                        break;
                    }
                    ASSERT_TRUE(me.w->wait_past(seen, std::chrono::seconds(5))) << "a waiter was never woken";
                }
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(total, long{kThreads} * kRounds);
    EXPECT_FALSE(m.is_locked());
}

TEST(Parker, ASleepOnDescriptorsEndsAtReadinessAtAWakeAndAtTheDeadline) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    Parker parker;
    using Clock = std::chrono::steady_clock;
    auto elapsed_in_park = [&](auto deadline) {
        const auto start = Clock::now();
        parker.park_until(deadline);
        return Clock::now() - start;
    };
    const auto later = [] { return Clock::now() + std::chrono::seconds(5); };

    parker.watch(p[0], POLLIN);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(::write(p[1], "x", 1), 1);
    });
    EXPECT_LT(elapsed_in_park(later()), std::chrono::seconds(2));  // the descriptor became readable
    writer.join();
    char c;
    ASSERT_EQ(::read(p[0], &c, 1), 1);

    parker.watch(p[0], POLLIN);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        parker.wake();
    });
    EXPECT_LT(elapsed_in_park(later()), std::chrono::seconds(2));  // woken while on the descriptor
    waker.join();

    parker.watch(p[0], POLLIN);
    parker.wake();  // before the park: not lost
    EXPECT_LT(elapsed_in_park(later()), std::chrono::seconds(2));

    parker.watch(p[0], POLLIN);
    EXPECT_GE(elapsed_in_park(Clock::now() + std::chrono::milliseconds(30)), std::chrono::milliseconds(25));
    ::close(p[0]);
    ::close(p[1]);
}

TEST(Notify, NotifyOneStoresAtMostOnePermit) {
    Notify n;
    Manual a;
    n.notify_one();
    n.notify_one();
    auto first = n.notified(), second = n.notified();
    EXPECT_TRUE(first.poll(a.cx).ready());
    EXPECT_TRUE(second.poll(a.cx).pending());
    n.notify_one();
    EXPECT_EQ(a.w->count(), 1);
    EXPECT_TRUE(second.poll(a.cx).ready());
}

TEST(Notify, NotifyWaitersReachesOnlyRegisteredWaitersAndStoresNothing) {
    Notify n;
    Manual a;
    auto polled = n.notified(), enabled = n.notified(), unregistered = n.notified();
    EXPECT_TRUE(polled.poll(a.cx).pending());
    enabled.enable();
    n.notify_waiters();
    EXPECT_TRUE(polled.poll(a.cx).ready());
    EXPECT_TRUE(enabled.poll(a.cx).ready());
    EXPECT_TRUE(unregistered.poll(a.cx).pending());
    auto later = n.notified();
    EXPECT_TRUE(later.poll(a.cx).pending());
}

TEST(Notify, AChosenWaiterThatIsDroppedPassesTheNotificationOn) {
    Notify n;
    Manual a, b;
    std::unique_ptr<Notify::Notified> chosen(new Notify::Notified(n.notified()));
    auto next = n.notified();
    EXPECT_TRUE(chosen->poll(a.cx).pending());
    EXPECT_TRUE(next.poll(b.cx).pending());
    n.notify_one();  // chooses the first waiter
    chosen.reset();
    EXPECT_EQ(b.w->count(), 1);
    EXPECT_TRUE(next.poll(b.cx).ready());

    // With nobody else waiting it becomes the stored permit again.
    std::unique_ptr<Notify::Notified> alone(new Notify::Notified(n.notified()));
    EXPECT_TRUE(alone->poll(a.cx).pending());
    n.notify_one();
    alone.reset();
    auto after = n.notified();
    EXPECT_TRUE(after.poll(a.cx).ready());

    // enable() takes a stored permit; dropping it unobserved stores it again.
    n.notify_one();
    std::unique_ptr<Notify::Notified> took(new Notify::Notified(n.notified()));
    took->enable();
    took.reset();
    auto last = n.notified();
    EXPECT_TRUE(last.poll(a.cx).ready());
}

struct Always {
    int v;
    Poll<int> poll(Context&) { return v; }
};
struct Never {
    int polls = 0;
    Poll<int> poll(Context&) {
        ++polls;
        return Pending{};
    }
};

TEST(Select, PicksTheFirstSideAtRandomOnEveryPoll) {
    Manual m;
    Always a{1}, b{2};
    int wins_a = 0;
    for (int i = 0; i < 2000; ++i) {
        Select s(a, b);
        auto r = s.poll(m.cx);
        ASSERT_TRUE(r.ready());
        if (r.value().index() == 0) ++wins_a;
    }
    EXPECT_GT(wins_a, 800);
    EXPECT_LT(wins_a, 1200);
}

TEST(Timeout, PollsTheInnerFutureFirstAndFiresOnTheReactorTimer) {
    Harness h;
    Always a{7};
    Timeout late(a, Clock::now() - std::chrono::seconds(1));
    auto r = late.poll(h.cx);
    ASSERT_TRUE(r.ready());
    EXPECT_EQ(r.value(), std::optional<int>(7));

    Never n;
    const auto t0 = Clock::now();
    Timeout soon(n, Clock::now() + std::chrono::milliseconds(30));
    auto out = h.block_on(soon);
    EXPECT_FALSE(out.has_value());
    EXPECT_GE(test::seconds_since(t0), 0.029);

    Timeout never(n, std::nullopt);  // no deadline: never fires
    EXPECT_TRUE(never.poll(h.cx).pending());
}

TEST(Sleep, ArmsItsTimerOnlyWhenDueBeforeThePollersHorizon) {
    Harness h;
    Sleep sooner(Clock::now() + std::chrono::milliseconds(30));
    h.cx.horizon = Clock::now() + std::chrono::milliseconds(500);
    int seen = h.waker->count();
    EXPECT_TRUE(sooner.poll(h.cx).pending());
    EXPECT_TRUE(h.waker->wait_past(seen, std::chrono::seconds(5)));  // due first: armed, and it wakes
    EXPECT_TRUE(sooner.poll(h.cx).ready());

    Sleep beyond(Clock::now() + std::chrono::milliseconds(150));
    h.cx.horizon = Clock::now() + std::chrono::milliseconds(20);
    seen = h.waker->count();
    EXPECT_TRUE(beyond.poll(h.cx).pending());
    // Due after the horizon: left for the next poll, so nothing wakes.
    EXPECT_FALSE(h.waker->wait_past(seen, std::chrono::milliseconds(250)));
    EXPECT_TRUE(beyond.poll(h.cx).ready());

    Sleep unbounded(Clock::now() + std::chrono::milliseconds(30));
    h.cx.horizon.reset();
    seen = h.waker->count();
    EXPECT_TRUE(unbounded.poll(h.cx).pending());
    EXPECT_TRUE(h.waker->wait_past(seen, std::chrono::seconds(5)));  // no horizon: armed
}

TEST(Horizon, AWindowStartsWhenFirstAskedAndStaysPut) {
    auto h = poll::Horizon::after(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto asked = Clock::now();
    const auto at = h.get();
    ASSERT_TRUE(at);
    EXPECT_GE(*at, asked + std::chrono::milliseconds(50));
    EXPECT_EQ(h.get(), at);
    EXPECT_FALSE(poll::Horizon().get());
}

TEST(PollOnce, MakesExactlyOneAttempt) {
    Manual m;
    Never n;
    PollOnce once(n);
    auto r = once.poll(m.cx);
    ASSERT_TRUE(r.ready());
    EXPECT_FALSE(r.value().has_value());
    EXPECT_EQ(n.polls, 1);
}

TEST(Blocking, RunsOnThePoolAndReportsHowTheJobEnded) {
    Harness h;
    Blocking<int> ok([] { return Result<int>(5); });
    auto r = h.block_on(ok);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 5);

    struct Case {
        std::function<Result<int>()> job;
        bool refuse;
        std::string suffix;
    };
    const Case cases[] = {
        {[]() -> Result<int> { throw std::runtime_error("boom"); }, false, " panicked with message boom"},
        {[]() -> Result<int> { throw 3; }, false, " panicked"},
        {[] { return Result<int>(1); }, true, " was cancelled"},
    };
    for (const auto& c : cases) {
        h.pool.refuse = c.refuse;
        Blocking<int> b(c.job);
        auto got = h.block_on(b);
        ASSERT_FALSE(got.ok());
        const auto text = got.error().text();
        EXPECT_EQ(got.error().kind(), SerialError::Kind::Os);
        EXPECT_FALSE(got.error().os_errno());
        EXPECT_TRUE(text.starts_with("task ")) << text;
        EXPECT_TRUE(text.ends_with(c.suffix)) << text;
    }
    h.pool.refuse = false;
}

TEST(FdReady, WaitsForReadinessWithoutReading) {
    Harness h;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        FdReady ready(h.io, fds[0]);
        ASSERT_TRUE(ready.poll_ready(FdReady::Direction::Read, h.cx).ready());  // unknown: try the call first
        ready.clear_ready(FdReady::Direction::Read);
        const int seen = h.waker->count();
        ASSERT_TRUE(ready.poll_ready(FdReady::Direction::Read, h.cx).pending());
        ASSERT_EQ(::write(fds[1], "x", 1), 1);
        EXPECT_TRUE(h.waker->wait_past(seen, std::chrono::seconds(5)));
        EXPECT_TRUE(ready.poll_ready(FdReady::Direction::Read, h.cx).ready());
        // A byte that came before the wait was armed is not missed either.
        ready.clear_ready(FdReady::Direction::Read);
        EXPECT_TRUE(ready.poll_ready(FdReady::Direction::Read, h.cx).ready());
    }
    char c = 0;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);  // still there: the wait read nothing
    EXPECT_EQ(c, 'x');
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace marovenda::poll
