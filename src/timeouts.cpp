#include "timeouts.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace marovenda {

namespace {
constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
}

Duration Duration::from_nanos(unsigned __int128 ns) noexcept {
    const unsigned __int128 secs = ns / kNanosPerSec;
    if (secs > UINT64_MAX) return max();
    return {static_cast<std::uint64_t>(secs), static_cast<std::uint32_t>(ns % kNanosPerSec)};
}

Duration saturating_sub(Duration a, Duration b) noexcept {
    if (a <= b) return {};
    return Duration::from_nanos(a.total_nanos() - b.total_nanos());
}

Duration elapsed_since(poll::Instant start) noexcept {
    const auto ns = (poll::Clock::now() - start).count();
    return ns <= 0 ? Duration{} : Duration::from_nanos(static_cast<unsigned __int128>(ns));
}

std::optional<poll::Instant> deadline_at(poll::Instant at, Duration d) noexcept {
    using Rep = poll::Clock::duration::rep;
    static_assert(std::is_same_v<poll::Clock::duration::period, std::nano>);
    const __int128 sum = static_cast<__int128>(at.time_since_epoch().count()) + static_cast<__int128>(d.total_nanos());
    if (sum > std::numeric_limits<Rep>::max()) return std::nullopt;
    return poll::Instant(poll::Clock::duration(static_cast<Rep>(sum)));
}

std::optional<poll::Instant> deadline_after(std::optional<Duration> d) noexcept {
    if (!d) return std::nullopt;
    return deadline_at(poll::Clock::now(), *d);
}

std::string format_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e<exp>.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const auto e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    const int exp = std::atoi(std::string(sci.substr(e + 1)).c_str());
    if (exp >= 16 || exp < -4) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(exp);
        return out;
    }
    if (exp >= 0) {
        const auto whole = static_cast<std::size_t>(exp) + 1;
        if (digits.size() <= whole) {
            out += digits;
            out.append(whole - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, whole);
            out += '.';
            out.append(digits, whole);
        }
        return out;
    }
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
    return out;
}

std::string format_seconds(const Seconds& s) {
    return s.is_int() ? std::to_string(s.int_value()) : format_float(s.float_value());
}

namespace timeouts {

Result<std::optional<Seconds>> checked(std::optional<Seconds> value) {
    if (value) {
        const bool bad = value->is_int() ? value->int_value() < 0 : !(value->float_value() >= 0.0);
        if (bad) return SerialError::value("Not a valid timeout: " + format_seconds(*value));
    }
    return value;
}

std::optional<Duration> duration(std::optional<Seconds> value) noexcept {
    if (!value) return std::nullopt;
    const double v = value->as_double();
    if (!(v >= 0.0) || !(v < timeouts::kNoEndSeconds)) return std::nullopt;  // negative, NaN, inf, >= 2**64
    const double whole = std::floor(v);
    const double frac = v - whole;  // exact
    Duration d{static_cast<std::uint64_t>(whole), 0};
    if (frac == 0.0) return d;
    // frac = m * 2**e exactly, m an integer of at most 53 bits.
    int e = 0;
    const double m = std::ldexp(std::frexp(frac, &e), 53);
    e -= 53;
    const unsigned __int128 scaled = static_cast<unsigned __int128>(static_cast<std::uint64_t>(m)) * kNanosPerSec;
    const int shift = -e;  // e < 0 since frac < 1
    if (shift >= 120) return d;  // far below half a nanosecond
    unsigned __int128 q = scaled >> shift;
    const unsigned __int128 rem = scaled - (q << shift);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    if (rem > half || (rem == half && (q & 1))) ++q;
    if (q >= kNanosPerSec) {
        d.secs += 1;
        q -= kNanosPerSec;
    }
    d.nanos = static_cast<std::uint32_t>(q);
    return d;
}

}  // namespace timeouts
}  // namespace marovenda
