#include "errors.hpp"

#include <cstring>
#include <limits>

#include "errno_text.hpp"

namespace marovenda {

SerialError SerialError::from_errno(int code) {
    char buf[256];
    // GNU strerror_r returns the text, which need not be in buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string message(text);
    message += " (os error ";
    message += std::to_string(code);
    message += ')';
    return os(code, std::move(message));
}

SerialError SerialError::from_library(bool invalid_input, std::string description) {
    if (invalid_input) return value(std::move(description));
    auto code = errno_from_description(description);
    return os(code, std::move(description));
}

SerialError SerialError::open_failed(std::string_view port, SerialError error) {
    std::string message = "could not open port ";
    message += port;
    message += ": ";
    if (error.kind_ == Kind::Os && error.errno_) {
        message += "[Errno ";
        message += std::to_string(*error.errno_);
        message += "] ";
        message += error.text();
        return os(error.errno_, std::move(message));
    }
    message += error.text();
    return os(std::nullopt, std::move(message));
}

std::string SerialError::text() const {
    switch (kind_) {
        case Kind::Os:
        case Kind::Timeout:
        case Kind::Value: return message_;
        case Kind::PortNotOpen: return "Attempting to use a port that is not open";
        case Kind::AlreadyOpen: return "Port is already open.";
        case Kind::NotConfigured: return "Port must be configured before it can be used.";
        case Kind::Cancelled: return "the operation was cancelled";
        case Kind::Forked: return "marovenda cannot be used in a child process created by fork()";
    }
    return message_;
}

namespace {

// A signed 32-bit decimal: one optional sign, then digits only, no overflow.
std::optional<std::int32_t> parse_i32(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0)) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -v : v);
}

}  // namespace

std::optional<std::int32_t> errno_from_description(std::string_view d) {
    constexpr std::string_view marker = "(os error ";
    auto at = d.rfind(marker);
    if (at != std::string_view::npos) {
        auto rest = d.substr(at + marker.size());
        if (rest.size() < 2 || rest.back() != ')') return std::nullopt;
        return parse_i32(rest.substr(0, rest.size() - 1));
    }
    for (const auto& e : errno_text::table)
        if (e.code >= 1 && e.code <= 255 && e.text == d) return e.code;
    return std::nullopt;
}

}  // namespace marovenda
