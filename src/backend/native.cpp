#include "backend/native.hpp"

#include <cerrno>

namespace marovenda::backend::native {

// Placeholder until the terminal device backend lands: every open fails.
Result<BackendPtr> open(std::string_view port, const port::Settings&, bool, bool) {
    return SerialError::open_failed(port, SerialError::from_errno(ENOSYS));
}

}  // namespace marovenda::backend::native
