// Timeout values: kept exactly as the caller gave them (an integer or a float)
// and turned into a duration only when an operation needs a deadline.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

#include "errors/error.hpp"
#include "poll/sleep.hpp"

namespace marovenda {

// Seconds, an integer or a float. Stored timeouts are never negative.
class Seconds {
public:
    enum class Kind : std::uint8_t { Int, Float };

    static constexpr Seconds of_int(std::int64_t v) noexcept { return Seconds(Kind::Int, v, 0.0); }
    static constexpr Seconds of_float(double v) noexcept { return Seconds(Kind::Float, 0, v); }

    Kind kind() const noexcept { return kind_; }
    bool is_int() const noexcept { return kind_ == Kind::Int; }
    std::int64_t int_value() const noexcept { return i_; }
    double float_value() const noexcept { return f_; }
    // The value as a double (an integer rounded to the nearest double).
    double as_double() const noexcept { return is_int() ? static_cast<double>(i_) : f_; }
    // Integer 0 or a float equal to 0.0 (-0.0 included).
    bool is_zero() const noexcept { return is_int() ? i_ == 0 : f_ == 0.0; }

    bool operator==(const Seconds&) const = default;

private:
    constexpr Seconds(Kind k, std::int64_t i, double f) noexcept : kind_(k), i_(i), f_(f) {}
    Kind kind_;
    std::int64_t i_;
    double f_;
};

// A non-negative span: whole seconds and nanoseconds below 1e9.
struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;

    static constexpr Duration max() noexcept { return {UINT64_MAX, 999'999'999}; }
    static constexpr Duration from_millis(std::uint64_t ms) noexcept {
        return {ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)};
    }
    static Duration from_nanos(unsigned __int128 ns) noexcept;
    unsigned __int128 total_nanos() const noexcept {
        return static_cast<unsigned __int128>(secs) * 1'000'000'000u + nanos;
    }
    bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
    auto operator<=>(const Duration&) const = default;
};

// a - b, or zero when b is the larger.
Duration saturating_sub(Duration a, Duration b) noexcept;
Duration elapsed_since(poll::Instant start) noexcept;

// at + d; absent (no deadline) when that is beyond what the clock can hold.
std::optional<poll::Instant> deadline_at(poll::Instant at, Duration d) noexcept;
// now + d, absent when d is absent or too large.
std::optional<poll::Instant> deadline_after(std::optional<Duration> d) noexcept;

// A float as messages show it: shortest round-trip digits, always with a
// fraction or an exponent (3.0, 0.25, 1e16, 1.5e-7), and NaN, inf, -inf.
std::string format_float(double v);
// An integer in decimal, a float as format_float.
std::string format_seconds(const Seconds& s);

namespace timeouts {

// 2**64 seconds: spans from here on (and infinity) are held as "no end".
inline constexpr double kNoEndSeconds = 18446744073709551616.0;

// The value unchanged, or "Not a valid timeout: {}" for a negative or NaN one.
Result<std::optional<Seconds>> checked(std::optional<Seconds> value);

// Rounded exactly to the nanosecond (ties to even); absent for an absent,
// negative, NaN or infinite value and for 2**64 seconds or more.
std::optional<Duration> duration(std::optional<Seconds> value) noexcept;

}  // namespace timeouts
}  // namespace marovenda
