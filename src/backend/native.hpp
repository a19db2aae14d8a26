// The native terminal device.
#pragma once

#include <string_view>

#include "backend/backend.hpp"

namespace marovenda::backend::native {

// Opens and configures the device at path port (which holds no NUL).
Result<BackendPtr> open(std::string_view port, const port::Settings& settings, bool rts, bool dtr);

}  // namespace marovenda::backend::native
