#include "errors/error.hpp"

#include <cstring>

#include "errors/errno_text.hpp"

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

SerialError SerialError::described(std::string description) {
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

std::optional<std::int32_t> errno_from_description(std::string_view d) {
    for (const auto& e : errno_text::table)
        if (e.code >= 1 && e.code <= 255 && e.text == d) return e.code;
    return std::nullopt;
}

}  // namespace marovenda
