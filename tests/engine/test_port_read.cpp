#include <gmock/gmock.h>

#include "poll/block_on.hpp"
#include "port_fixture.hpp"

namespace marovenda::port {
namespace {

using namespace std::chrono_literals;
using test::FakeScript;
using test::seconds_since;
using test::timeouts;
using ::testing::ElementsAre;

class PortRead : public test::PortTest {};

TEST_F(PortRead, ReadZeroReturnsAtOnceButStillNeedsAnOpenPort) {
    auto closed = PortCore::read(core, 0);
    EXPECT_EQ(run(closed).error(), SerialError::port_not_open());
    open_loop();
    feed("abc");
    auto r = PortCore::read(core, 0);
    EXPECT_EQ(run(r).value(), "");
    EXPECT_EQ(core->in_waiting().value(), 3u);
}

TEST_F(PortRead, AnOperationKeepsItsPortAliveUntilItHasLetGoOfTheLock) {
    // The serial object is dropped while its read waits: the read holds the
    // last reference, and its lock lives inside the port it keeps alive.
    open_loop();
    auto weak = std::weak_ptr<PortCore>(core);
    {
        auto r = PortCore::read(core, 1);
        EXPECT_FALSE(h.step(r));
        core->close();
        core.reset();
        EXPECT_FALSE(weak.expired());
        EXPECT_EQ(run(r).error(), SerialError::port_not_open());
    }
    EXPECT_TRUE(weak.expired());
}

TEST_F(PortRead, TimeoutZeroTakesWhatIsThereWithoutWaiting) {
    open_loop(timeouts(Seconds::of_int(0)));
    auto empty = PortCore::read(core, 5);
    EXPECT_EQ(run(empty).value(), "");
    feed("abcdefgh");
    auto some = PortCore::read(core, 5);
    EXPECT_EQ(run(some).value(), "abcde");
    auto rest = PortCore::read(core, 10);
    EXPECT_EQ(run(rest).value(), "fgh");
}

TEST_F(PortRead, WithoutTimeoutAReadWaitsForAllItsBytes) {
    open_fake();
    auto feeder = feed_later({"ab", "cd", "e"}, 10ms);
    auto r = PortCore::read(core, 5);
    EXPECT_EQ(run(r).value(), "abcde");
    feeder.join();
}

TEST_F(PortRead, LargeReadsGoInChunksOf4096) {
    open_loop();
    const std::string data(4096, 'z');
    feed(data);
    auto first = PortCore::read(core, 3000);
    EXPECT_EQ(run(first).value(), std::string(3000, 'z'));
    PortCoreAccess::state(*core)->settings.timeout = Seconds::of_float(0.0);
    auto r = PortCore::read(core, 10000);
    EXPECT_EQ(run(r).value(), std::string(1096, 'z'));
}

TEST_F(PortRead, AReadOfMoreThanAChunkGoesOnAfterAFullFirstChunk) {
    open_loop();
    feed(std::string(4096, 'a'));
    auto r = PortCore::read(core, 5000);
    EXPECT_FALSE(h.step(r));  // a full chunk is not yet the whole read
    feed(std::string(904, 'b'));
    EXPECT_EQ(run(r).value(), std::string(4096, 'a') + std::string(904, 'b'));
}

TEST_F(PortRead, AReadThatKeepsFindingDataGivesWayAfterItsBudget) {
    // A byte at a time: a poll reads at most a budget of chunks, wakes its
    // task and returns, and the next poll goes on where it stopped, with or
    // without a deadline (once passed, every chunk is one attempt).
    for (auto timeout : {std::optional<Seconds>(), std::optional(Seconds::of_int(0))}) {
        open_fake(timeouts(timeout));
        for (int i = 0; i < 300; ++i) script->push_read(std::string(1, static_cast<char>('a' + i % 26)));
        auto r = PortCore::read(core, 300);
        const int woken = h.waker->count();
        ASSERT_FALSE(h.step(r));
        EXPECT_GT(h.waker->count(), woken);
        const auto left = script->with([](FakeScript& s) { return s.reads.size(); });
        EXPECT_LT(left, 300u);
        EXPECT_GE(left, 300u - poll::Budget::kPerPoll - 1);
        const Bytes got = joined(run(r).value());
        ASSERT_EQ(got.size(), 300u);
        for (int i = 0; i < 300; ++i) ASSERT_EQ(got[i], 'a' + i % 26) << i;
        core->close();
    }
}

TEST_F(PortRead, AThreadDrivingAReadThatGivesWayFinishesItWithinItsWindow) {
    // A buffered line of more than two budgets: the read gives way twice and
    // each following poll has a budget again, so the drive ends Ready at once
    // (a poll left without one gives way again at once, until the window ends).
    open_loop();
    const Bytes line = std::string(2 * poll::Budget::kPerPoll + 44, 'x') + "\n";
    feed(line);
    auto op = poll::boxed(PortCore::readline(core, std::nullopt));
    auto p = poll::block_on_for(*op, h.io, h.pool, 5s);
    ASSERT_TRUE(p.ready()) << "still pending when the window ended";
    EXPECT_TRUE(p.value().value() == line);
}

// How many of the result's bytes are not where a device read put them. A
// first block small enough to live inside the result moves with it.
std::size_t moved(const Gathered& result, const std::vector<std::span<const std::uint8_t>>& filled) {
    const auto* self = reinterpret_cast<const char*>(&result);
    auto inside = [&](const char* p) { return !std::less{}(p, self) && std::less{}(p, self + sizeof result); };
    std::size_t n = 0, f = 0;
    result.each_block([&](std::string_view b) {
        std::size_t at = 0;
        for (; at < b.size() && f < filled.size(); at += filled[f++].size()) {
            if (!inside(b.data()) && reinterpret_cast<const char*>(filled[f].data()) != b.data() + at) {
                n += filled[f].size();
            }
        }
        if (at < b.size()) n += b.size() - at;  // no device read put these here
    });
    return n;
}

TEST_F(PortRead, ALongReadNeverMovesWhatItHolds) {
    // A poll is bounded: a read that copied what it held so far to make room
    // (a string's doubling) would spend longer on it the more it held. Every
    // device read must be in the result where the device put it, across
    // polls, block sizes and device reads that fill a block only in part.
    struct Case {
        const char* name;
        bool line;                        // readline, else a read of the whole
        std::vector<std::size_t> pieces;  // what the device has for each read
    };
    const std::vector<std::size_t> full(768, 4096);  // 3 MiB: past the largest block
    constexpr std::size_t sizes[] = {1000, 4096, 17, 3000};
    std::vector<std::size_t> ragged;
    for (int i = 0; i < 300; ++i) ragged.push_back(sizes[i % 4]);
    const Case cases[] = {{"full chunks", false, full}, {"ragged", false, ragged}, {"line", true, {4999}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open_fake();
        std::string data;
        for (std::size_t len : c.pieces) {
            const std::size_t from = data.size();
            for (std::size_t i = from; i < from + len; ++i) data.push_back(static_cast<char>('a' + i % 23));
            script->push_read(data.substr(from));
        }
        if (c.line) {
            data += '\n';
            script->push_read("\n");
        }
        auto read_all = [&]() -> Result<Gathered> {
            if (c.line) {
                auto r = PortCore::readline(core, std::nullopt);
                return run(r);
            }
            auto r = PortCore::read(core, data.size());
            return run(r);
        };
        const Result<Gathered> got = read_all();
        ASSERT_TRUE(got.ok());
        EXPECT_TRUE(got.value() == data);
        EXPECT_EQ(moved(got.value(), script->with([](FakeScript& s) { return std::exchange(s.filled, {}); })), 0u);
        core->close();
    }
}

TEST_F(PortRead, TheTimeUntilAReadIsPolledAgainIsNotTakenFromAChunksTimeout) {
    // readline gives every byte its own timeout. The poll gives way once it
    // has read a budget of bytes; its task is polled again only after longer
    // than the timeout, and the next byte comes soon after that. That byte's
    // timeout counts from the poll that waits for it, so the line is whole.
    open_fake(timeouts(Seconds::of_float(0.2)));
    for (unsigned i = 0; i < poll::Budget::kPerPoll; ++i) script->push_read("x");
    auto r = PortCore::readline(core, std::nullopt);
    ASSERT_FALSE(h.step(r));
    std::this_thread::sleep_for(300ms);
    auto feeder = feed_later({"\n"}, 50ms);
    EXPECT_EQ(run(r).value(), std::string(poll::Budget::kPerPoll, 'x') + "\n");
    feeder.join();
}

TEST_F(PortRead, AReadTimeoutReturnsThePartialDataAndTheInterByteTimeoutEndsItSooner) {
    open_fake(timeouts(Seconds::of_float(0.3)));
    script->push_read("abc");
    auto t0 = std::chrono::steady_clock::now();
    auto r = PortCore::read(core, 10);
    EXPECT_EQ(run(r).value(), "abc");
    EXPECT_GE(seconds_since(t0), 0.29);

    PortCoreAccess::state(*core)->settings.inter_byte_timeout = Seconds::of_float(0.05);
    script->push_read("abc");
    t0 = std::chrono::steady_clock::now();
    auto quick = PortCore::read(core, 10);
    EXPECT_EQ(run(quick).value(), "abc");
    EXPECT_LT(seconds_since(t0), 0.25);
}

TEST_F(PortRead, TheInterByteTimeoutNeverShortensTheWaitForTheFirstByte) {
    open_fake(timeouts(std::nullopt, std::nullopt, Seconds::of_float(0.02)));
    auto feeder = feed_later({"a"}, 100ms);
    auto r = PortCore::read(core, 3);
    EXPECT_EQ(run(r).value(), "a");
    feeder.join();
}

TEST_F(PortRead, ReadUntilStopsAtTheTerminatorAndLeavesTheRest) {
    open_loop();
    feed("xxENDyy");
    auto r = PortCore::read_until(core, "END", 100);
    EXPECT_EQ(run(r).value(), "xxEND");
    EXPECT_EQ(core->in_waiting().value(), 2u);

    feed("abcdefg");
    auto sized = PortCore::read_until(core, "", 5);  // an empty terminator never matches
    EXPECT_EQ(run(sized).value(), "yyabc");
    auto none = PortCore::read_until(core, "\n", 0);
    EXPECT_EQ(run(none).value(), "");
    EXPECT_EQ(core->in_waiting().value(), 4u);
}

TEST_F(PortRead, ATerminatorSpanningTheResultsBlocksStillEndsReadUntil) {
    // The result grows by blocks, and a terminator (after a false start) may
    // begin in one block and end in the next, wherever those boundaries lie.
    open_loop(timeouts(Seconds::of_int(0)));
    for (std::size_t n = 0; n < 70; ++n) {
        const std::string line = std::string(n, 'x') + "ENEND";
        feed(line + "yy");
        auto r = PortCore::read_until(core, "END", std::nullopt);
        ASSERT_EQ(run(r).value(), line) << n;
        ASSERT_TRUE(core->reset_input_buffer().ok());
    }
}

TEST_F(PortRead, ReadlineGivesEveryByteItsOwnDeadlineReadUntilDoesNot) {
    open_fake(timeouts(Seconds::of_float(0.12)));
    auto feeder = feed_later({"a", "b", "c", "\n"}, 70ms);
    auto line = PortCore::readline(core, std::nullopt);
    EXPECT_EQ(run(line).value(), "abc\n");
    feeder.join();

    auto slow = feed_later({"a", "b", "c", "\n"}, 70ms);
    auto until = PortCore::read_until(core, "\n", std::nullopt);
    EXPECT_EQ(run(until).value(), "a");
    slow.join();
}

TEST_F(PortRead, ReadlinesEndsOnAnEmptyLineOrOnceTheHintIsReached) {
    open_loop(timeouts(Seconds::of_float(0.05)));
    feed("a\nb\nc");
    auto all = PortCore::readlines(core, std::nullopt);
    EXPECT_THAT(run(all).value(), ElementsAre("a\n", "b\n", "c"));

    feed("a\nb\nc");
    auto hinted = PortCore::readlines(core, 3);
    EXPECT_THAT(run(hinted).value(), ElementsAre("a\n", "b\n"));
    EXPECT_EQ(core->in_waiting().value(), 1u);
}

TEST_F(PortRead, CancelReadEndsTheCurrentReadOrStoresOnePermitForTheNext) {
    open_loop();
    feed("ab");
    auto r = PortCore::read(core, 10);
    EXPECT_FALSE(h.step(r));
    core->cancel_read();
    EXPECT_EQ(run(r).value(), "ab");

    core->cancel_read();
    core->cancel_read();  // still one permit
    auto next = PortCore::read(core, 10);
    EXPECT_EQ(run(next).value(), "");
    auto after = PortCore::read(core, 10);
    EXPECT_FALSE(h.step(after));
}

TEST_F(PortRead, ANonBlockingAttemptLeavesTheCancelPermitStored) {
    // Were the attempt a race with the cancel, the coin would hide that now
    // and then: enough rounds that it cannot.
    open_loop();
    for (int round = 0; round < 40; ++round) {
        PortCoreAccess::state(*core)->settings.timeout = Seconds::of_int(0);
        core->cancel_read();
        feed("ab");
        auto attempt = PortCore::read(core, 10);
        ASSERT_EQ(run(attempt).value(), "ab") << round;
        PortCoreAccess::state(*core)->settings.timeout.reset();
        auto waiting = PortCore::read(core, 10);  // its first wait sees the permit
        ASSERT_EQ(run(waiting).value(), "") << round;
    }
}

TEST_F(PortRead, CancelDuringReadlinesEndsTheHalfLineAndReadingGoesOn) {
    open_loop();
    feed("ab");
    auto r = PortCore::readlines(core, std::nullopt);
    EXPECT_FALSE(h.step(r));
    core->cancel_read();  // ends "ab"; the next line waits
    EXPECT_FALSE(h.step(r));
    feed("c\n");
    EXPECT_FALSE(h.step(r));
    core->cancel_read();  // no byte of the current line yet: ends readlines
    EXPECT_THAT(run(r).value(), ElementsAre("ab", "c\n"));
}

TEST_F(PortRead, ReadAvailableTakesOneChunkOrNothingWhenCancelled) {
    open_loop();
    feed("hello");
    auto one = PortCore::read_available(core, 0);
    EXPECT_EQ(run(one).value(), "h");
    auto rest = PortCore::read_available(core, 65536);
    EXPECT_EQ(run(rest).value(), "ello");
    auto waiting = PortCore::read_available(core, 65536);
    EXPECT_FALSE(h.step(waiting));
    core->cancel_read();
    EXPECT_EQ(run(waiting).value(), "");
}

TEST_F(PortRead, ReadsQueueOnTheReadLockAndADroppedReadReleasesIt) {
    open_loop();
    std::optional<ReadFuture> first(PortCore::read(core, 3));
    auto second = PortCore::read(core, 2);
    EXPECT_FALSE(h.step(*first));
    EXPECT_FALSE(h.step(second));
    feed("a");
    EXPECT_FALSE(h.step(*first));  // takes "a", waits for more
    first.reset();                 // dropped: its "a" is lost, its lock passed on
    feed("bc");
    EXPECT_EQ(run(second).value(), "bc");
}

TEST_F(PortRead, AReadThatFindsOnlyPartOfItsBytesKeepsTheLockForTheRest) {
    open_loop();
    feed("a");
    auto first = PortCore::read(core, 3);
    auto second = PortCore::read(core, 1);
    EXPECT_FALSE(h.step(first));   // takes "a" at once, waits for more
    EXPECT_FALSE(h.step(second));  // behind it, not between its chunks
    feed("bcd");
    EXPECT_FALSE(h.step(second));
    EXPECT_EQ(run(first).value(), "abc");
    EXPECT_EQ(run(second).value(), "d");
}

TEST_F(PortRead, ALosingReadTakesNoBytes) {
    // Data and a cancel ready in the same poll: either side may win, but a
    // cancelled read leaves every byte in the device.
    open_loop();
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
        feed("x");
        core->cancel_read();
        auto r = PortCore::read(core, 1);
        const Gathered got = run(r).value();
        if (got.empty()) {
            ++cancelled;
            EXPECT_EQ(core->in_waiting().value(), 1u);
            auto take = PortCore::read(core, 1);
            EXPECT_EQ(run(take).value(), "x");
        } else {
            EXPECT_EQ(got, "x");
            auto drop_permit = PortCore::read(core, 1);
            EXPECT_EQ(run(drop_permit).value(), "");  // the permit was still stored
        }
    }
    EXPECT_GT(cancelled, 50);
    EXPECT_LT(cancelled, 150);
}

TEST_F(PortRead, ACancelThatLosesToDataStillEndsTheRead) {
    // The waiting chunk is chosen by the cancel, then data arrives before it
    // is polled again. When the data wins, that chunk drops its waiter: the
    // cancel must reach the next chunk, or the read waits for ever.
    open_loop();
    int data_won = 0;
    for (int i = 0; i < 100; ++i) {
        auto r = PortCore::read(core, 10);
        ASSERT_FALSE(h.step(r));
        feed("ab");
        core->cancel_read();
        const Gathered got = h.block_on(r, std::chrono::milliseconds(500)).value();
        const auto left = core->in_waiting().value();
        if (got == "ab") {
            ++data_won;
            EXPECT_EQ(left, 0u);
        } else {
            EXPECT_EQ(got, "");
            EXPECT_EQ(left, 2u);  // the cancel won: the bytes stay in the device
            ASSERT_TRUE(core->reset_input_buffer().ok());
        }
        auto after = PortCore::read(core, 1);  // the cancel was used up
        EXPECT_FALSE(h.step(after));
    }
    EXPECT_GT(data_won, 20);
    EXPECT_LT(data_won, 80);
}

TEST_F(PortRead, AHugeTimeoutMeansNoDeadline) {
    for (double t : {1e10, 1180591620717411303424.0 /* 2**70 */, std::numeric_limits<double>::infinity()}) {
        open_loop(timeouts(Seconds::of_float(t)));
        auto r = PortCore::read(core, 1);
        EXPECT_FALSE(h.step(r));
        feed("q");
        EXPECT_EQ(run(r).value(), "q");
        core->close();
    }
}

}  // namespace
}  // namespace marovenda::port
