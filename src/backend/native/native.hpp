// The native terminal device.
#pragma once

#include <string_view>

#include "backend/backend.hpp"
#include "backend/native/tty_calls.hpp"

namespace marovenda::backend::native {

// Opens and configures the device at path port (which holds no NUL), on the
// runtime's reactor. Refused in a child process created by fork().
Result<BackendPtr> open(std::string_view port, const port::Settings& settings, bool rts, bool dtr);

// The same over the given terminal calls and reactor. calls must outlive the
// device.
Result<BackendPtr> open_with(TtyCalls& calls, asio::io_context& io, std::string_view port,
                             const port::Settings& settings, bool rts, bool dtr);

// The text the serial layer describes an errno with ("Not a typewriter").
std::string_view errno_description(int code) noexcept;

}  // namespace marovenda::backend::native
