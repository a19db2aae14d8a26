#include "backend/loopback.hpp"

#include <gtest/gtest.h>

#include <numeric>

#include "engine_harness.hpp"

namespace marovenda::backend {
namespace {

using test::CountingWaker;

struct Manual {
    std::shared_ptr<CountingWaker> w = std::make_shared<CountingWaker>();
    poll::Context cx{poll::Waker(w), nullptr, nullptr};
};

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Loopback, NamesThatOpenTheLoopback) {
    const std::pair<const char*, bool> cases[] = {
        {"loop://", true},  {"LOOP://", true},  {"Loop://anything", true}, {"loop:/", false},
        {"loop", false},    {"xloop://", false}, {"/dev/loop0", false},     {"", false},
    };
    for (const auto& [name, loop] : cases) EXPECT_EQ(is_loopback_name(name), loop) << name;
    EXPECT_TRUE(open(std::string_view("lOoP://\0x", 9), {}, true, true).ok());  // the rest is ignored
}

TEST(Loopback, AFullRingMakesTheWriterWaitUntilAReadTakesBytes) {
    LoopbackPort lb(true, true);
    Manual reader, writer;
    const std::string data(5000, 'a');
    auto w = lb.poll_write(writer.cx, bytes(data));
    ASSERT_TRUE(w.ready());
    EXPECT_EQ(w.value().value(), 4096u);
    EXPECT_TRUE(lb.poll_write(writer.cx, bytes(data.substr(4096))).pending());
    EXPECT_EQ(lb.in_waiting().value(), 4096u);
    EXPECT_EQ(lb.out_waiting().value(), 4096u);

    std::vector<std::uint8_t> buf(1000);
    auto r = lb.poll_read(reader.cx, buf);
    ASSERT_TRUE(r.ready());
    EXPECT_EQ(r.value().value(), 1000u);
    EXPECT_EQ(writer.w->count(), 1);
    auto again = lb.poll_write(writer.cx, bytes(data.substr(4096)));
    ASSERT_TRUE(again.ready());
    EXPECT_EQ(again.value().value(), 904u);
}

TEST(Loopback, KeepsOrderAcrossTheRingBoundary) {
    LoopbackPort lb(true, true);
    Manual m;
    std::string all;
    std::vector<std::uint8_t> buf(3000);
    std::string got;
    for (int round = 0; round < 5; ++round) {
        std::string chunk(3000, '\0');
        std::iota(chunk.begin(), chunk.end(), static_cast<char>(round * 7));
        all += chunk;
        ASSERT_EQ(lb.poll_write(m.cx, bytes(chunk)).value().value(), 3000u);
        auto r = lb.poll_read(m.cx, buf);
        got.append(reinterpret_cast<const char*>(buf.data()), r.value().value());
    }
    EXPECT_EQ(got, all);
}

TEST(Loopback, AReaderWaitsForAWriteAndAnEmptyWriteStillWakesIt) {
    LoopbackPort lb(true, true);
    Manual reader, writer;
    std::vector<std::uint8_t> buf(10);
    EXPECT_TRUE(lb.poll_read(reader.cx, buf).pending());
    auto empty = lb.poll_write(writer.cx, {});
    ASSERT_TRUE(empty.ready());
    EXPECT_EQ(empty.value().value(), 0u);
    EXPECT_EQ(reader.w->count(), 1);
    EXPECT_TRUE(lb.poll_read(reader.cx, buf).pending());
}

TEST(Loopback, ClearingEitherDirectionEmptiesTheOneQueueAndWakesTheWriter) {
    for (auto [input, output] : {std::pair{true, false}, std::pair{false, true}}) {
        LoopbackPort lb(true, true);
        Manual writer;
        const std::string data(4097, 'x');
        (void)lb.poll_write(writer.cx, bytes(data));
        EXPECT_TRUE(lb.poll_write(writer.cx, bytes("y")).pending());
        ASSERT_TRUE(lb.clear_buffers(input, output).ok());
        EXPECT_EQ(lb.in_waiting().value(), 0u);
        EXPECT_EQ(writer.w->count(), 1);
    }
    LoopbackPort lb(true, true);
    Manual m;
    (void)lb.poll_write(m.cx, bytes("abc"));
    ASSERT_TRUE(lb.clear_buffers(false, false).ok());
    EXPECT_EQ(lb.in_waiting().value(), 3u);
}

TEST(Loopback, LinesLoopBackAndTheRestIsFixed) {
    LoopbackPort lb(false, true);
    EXPECT_FALSE(lb.cts().value());
    EXPECT_TRUE(lb.dsr().value());
    ASSERT_TRUE(lb.set_rts(true).ok());
    ASSERT_TRUE(lb.set_dtr(false).ok());
    EXPECT_TRUE(lb.cts().value());
    EXPECT_FALSE(lb.dsr().value());
    ASSERT_TRUE(lb.configure({}, false, true).ok());
    EXPECT_FALSE(lb.cts().value());
    EXPECT_TRUE(lb.dsr().value());
    EXPECT_FALSE(lb.ri().value());
    EXPECT_TRUE(lb.cd().value());
    EXPECT_FALSE(lb.fileno());
    EXPECT_FALSE(lb.drain_handle().value().fd());
    EXPECT_EQ(lb.detach_write(), 0u);
}

}  // namespace
}  // namespace marovenda::backend
