#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "timeouts.hpp"

namespace marovenda {
namespace {

TEST(Seconds, ValidationRefusesNegativeAndNaNWithTheValueInTheMessage) {
    struct Case {
        Seconds s;
        const char* text;  // nullptr: accepted
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {Seconds::of_int(-1), "-1"},          {Seconds::of_float(-1.0), "-1.0"},
        {Seconds::of_float(-0.25), "-0.25"},  {Seconds::of_float(-1e16), "-1e16"},
        {Seconds::of_float(-2.5e-5), "-2.5e-5"}, {Seconds::of_float(nan), "NaN"},
        {Seconds::of_float(-inf), "-inf"},    {Seconds::of_int(0), nullptr},
        {Seconds::of_float(-0.0), nullptr},   {Seconds::of_float(inf), nullptr},
        {Seconds::of_int(1), nullptr},
    };
    for (const auto& c : cases) {
        auto r = timeouts::checked(c.s);
        if (!c.text) {
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.value(), std::optional<Seconds>(c.s));  // unchanged, kind kept
            continue;
        }
        ASSERT_FALSE(r.ok()) << c.text;
        EXPECT_EQ(r.error(), SerialError::value(std::string("Not a valid timeout: ") + c.text));
    }
    auto absent = timeouts::checked(std::nullopt);
    ASSERT_TRUE(absent.ok());
    EXPECT_FALSE(absent.value());
}

TEST(Seconds, FloatsAreFormattedInTheirShortestRoundTripForm) {
    const std::pair<double, const char*> cases[] = {
        {3.0, "3.0"},     {0.25, "0.25"},       {1e16, "1e16"},   {1.5e-7, "1.5e-7"},
        {0.0001, "0.0001"}, {9.5e-5, "9.5e-5"},  {123.5, "123.5"}, {1e15, "1000000000000000.0"},
        {1.25e17, "1.25e17"}, {0.1, "0.1"},     {-0.0, "-0.0"},   {1.0 / 3, "0.3333333333333333"},
    };
    for (const auto& [v, text] : cases) EXPECT_EQ(format_float(v), text);
}

TEST(Seconds, DurationRoundsExactlyToTheNanosecond) {
    struct Case {
        Seconds s;
        std::optional<Duration> d;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {Seconds::of_int(0), Duration{0, 0}},
        {Seconds::of_float(0.0), Duration{0, 0}},
        {Seconds::of_float(-0.0), Duration{0, 0}},
        {Seconds::of_float(1e-10), Duration{0, 0}},
        {Seconds::of_float(2.5), Duration{2, 500'000'000}},
        {Seconds::of_float(0.1), Duration{0, 100'000'000}},      // 0.1000000000000000055...
        // The exact double decides, not its product with 1e9 (which is 1.5, 2.5, 0.5).
        {Seconds::of_float(1.5e-9), Duration{0, 1}},   // 1.49999999999999999 ns
        {Seconds::of_float(2.5e-9), Duration{0, 3}},   // 2.50000000000000005 ns
        {Seconds::of_float(0.5e-9), Duration{0, 1}},   // 0.50000000000000003 ns
        {Seconds::of_float(0.9999999999), Duration{1, 0}},  // carries into the seconds
        {Seconds::of_float(1.0 / 1024), Duration{0, 976'562}},    // exactly 976562.5 ns: to even
        {Seconds::of_float(3.0 / 1024), Duration{0, 2'929'688}},  // exactly 2929687.5 ns: to even
        {Seconds::of_int(7), Duration{7, 0}},
        {Seconds::of_float(1e10), Duration{10'000'000'000, 0}},
        {Seconds::of_float(18446744073709549568.0), Duration{18446744073709549568ull, 0}},
        {Seconds::of_float(18446744073709551616.0), std::nullopt},  // 2**64
        {Seconds::of_float(inf), std::nullopt},
        {Seconds::of_float(std::nan("")), std::nullopt},
        {Seconds::of_int(-1), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(timeouts::duration(c.s), c.d) << format_seconds(c.s);
    EXPECT_EQ(timeouts::duration(std::nullopt), std::nullopt);
}

TEST(Seconds, HugeDurationsGiveNoDeadlineInsteadOfOverflowing) {
    const auto now = poll::Clock::now();
    EXPECT_FALSE(deadline_at(now, Duration{10'000'000'000ull, 0}));  // 1e10 s is beyond the clock
    EXPECT_FALSE(deadline_at(now, Duration::max()));
    EXPECT_FALSE(deadline_after(timeouts::duration(Seconds::of_float(std::ldexp(1.0, 70)))));
    EXPECT_FALSE(deadline_after(std::nullopt));
    auto soon = deadline_at(now, Duration{1, 5});
    ASSERT_TRUE(soon);
    EXPECT_EQ(*soon - now, std::chrono::nanoseconds(1'000'000'005));
}

TEST(Seconds, ZeroMeansIntegerZeroOrAFloatEqualToZero) {
    EXPECT_TRUE(Seconds::of_int(0).is_zero());
    EXPECT_TRUE(Seconds::of_float(-0.0).is_zero());
    EXPECT_FALSE(Seconds::of_float(1e-300).is_zero());
    EXPECT_EQ(format_seconds(Seconds::of_int(-12)), "-12");
}

}  // namespace
}  // namespace marovenda
