#include "list_ports/describe.hpp"

#include <bit>
#include <cstdio>
#include <utility>

namespace marovenda::list_ports {

std::string last_component(std::string_view path) {
    std::string_view last;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") last = part;
        start = end + 1;
    }
    if (last.empty() || last == "..") return std::string(path);
    return std::string(last);
}

void init_fields(Fields& f, std::string device) {
    f.name = last_component(device);
    f.device = std::move(device);
    f.description = "n/a";
    f.hwid = "n/a";
}

std::string usb_description(const Fields& f) {
    if (!f.interface) return f.product ? *f.product : f.name;
    return (f.product ? *f.product : std::string("None")) + " - " + *f.interface;
}

std::string usb_info(const Fields& f) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB VID:PID=%04X:%04X", unsigned{f.vid.value_or(0)}, unsigned{f.pid.value_or(0)});
    std::string text = ids;
    if (f.serial_number) text += " SER=" + *f.serial_number;
    if (f.location) text += " LOCATION=" + *f.location;
    return text;
}

void apply_usb_info(Fields& f) {
    f.description = usb_description(f);
    f.hwid = usb_info(f);
}

// SipHash-1-3 with both keys zero: the hash the objects have always had, so
// it stays the same from run to run.
std::uint64_t siphash13(std::string_view data) {
    std::uint64_t v0 = 0x736f6d6570736575ULL, v1 = 0x646f72616e646f6dULL;
    std::uint64_t v2 = 0x6c7967656e657261ULL, v3 = 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    };
    auto word = [&](std::size_t at, std::size_t n) {
        std::uint64_t m = 0;
        for (std::size_t i = 0; i < n; ++i) m |= std::uint64_t{static_cast<unsigned char>(data[at + i])} << (8 * i);
        return m;
    };
    const std::size_t full = data.size() / 8 * 8;
    for (std::size_t at = 0; at < full; at += 8) {
        std::uint64_t m = word(at, 8);
        v3 ^= m;
        round();
        v0 ^= m;
    }
    std::uint64_t last = (std::uint64_t{data.size()} << 56) | word(full, data.size() - full);
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

std::int64_t device_hash(const std::string& device) {
    // Hashed as text: its bytes, then 0xFF, so "ab" + "c" and "a" + "bc"
    // differ when hashed together.
    std::string bytes = device;
    bytes += '\xff';
    auto h = static_cast<std::int64_t>(siphash13(bytes));
    return h == -1 ? -2 : h;
}

std::vector<KeyElement> natural_key(std::string_view s) {
    constexpr auto max = ~static_cast<unsigned __int128>(0);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::vector<KeyElement> key;
    std::size_t at = 0;
    while (at < s.size()) {
        const bool digits = digit(s[at]);
        std::size_t end = at;
        while (end < s.size() && digit(s[end]) == digits) ++end;
        std::string_view run = s.substr(at, end - at);
        at = end;
        if (digits) {
            unsigned __int128 value = 0;
            bool fits = true;
            for (char c : run) {
                const unsigned d = static_cast<unsigned>(c - '0');
                if (value > (max - d) / 10) {
                    fits = false;
                    break;
                }
                value = value * 10 + d;
            }
            if (fits) {
                key.push_back({value});
                continue;
            }
        }
        KeyElement bytes;
        for (char c : run) bytes.push_back(static_cast<unsigned char>(c));
        key.push_back(std::move(bytes));
    }
    return key;
}

}  // namespace marovenda::list_ports
