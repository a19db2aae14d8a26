#include "fake_device.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace marovenda::test {

Result<backend::Drain> FakeDevice::drain_handle() {
    std::lock_guard g(s_->m);
    if (s_->drain_errno) return SerialError::from_errno(s_->drain_errno);
    if (!s_->drain_fd) return backend::Drain();
    return backend::Drain(::fcntl(*s_->drain_fd, F_DUPFD_CLOEXEC, 0));
}

}  // namespace marovenda::test
