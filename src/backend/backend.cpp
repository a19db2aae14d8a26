#include "backend/backend.hpp"

#include <unistd.h>

#include "backend/loopback.hpp"
#include "backend/native/native.hpp"

namespace marovenda::backend {

Drain& Drain::operator=(Drain&& o) noexcept {
    if (this != &o) {
        if (fd_) ::close(*fd_);
        fd_ = std::exchange(o.fd_, std::nullopt);
    }
    return *this;
}

Drain::~Drain() {
    if (fd_) ::close(*fd_);
}

NativeOpener native_opener = &native::open;

bool is_loopback_name(std::string_view port) noexcept {
    constexpr std::string_view scheme = "loop://";
    if (port.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = port[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    return true;
}

Result<BackendPtr> open(std::string_view port, const port::Settings& settings, bool rts, bool dtr) {
    if (is_loopback_name(port)) return BackendPtr(std::make_unique<LoopbackPort>(rts, dtr));
    if (port.find('\0') != std::string_view::npos) return SerialError::value("embedded null byte");
    return native_opener(port, settings, rts, dtr);
}

}  // namespace marovenda::backend
