#include "backend/native/tty_calls.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace marovenda::backend::native {

namespace {

int result(int r) { return r < 0 ? errno : 0; }

class SystemTty final : public TtyCalls {
public:
    int open(const char* path, int flags, int& fd) override {
        do fd = ::open(path, flags);
        while (fd < 0 && errno == EINTR);
        return fd < 0 ? errno : 0;
    }
    // No retry on EINTR: on Linux the descriptor is gone either way.
    int close(int fd) override { return result(::close(fd)); }
    int flock(int fd, int operation) override {
        int r;
        do r = ::flock(fd, operation);
        while (r < 0 && errno == EINTR);
        return result(r);
    }
    int tcgetattr(int fd, termios& attrs) override { return result(::tcgetattr(fd, &attrs)); }
    int tcsetattr(int fd, int action, const termios& attrs) override {
        return result(::tcsetattr(fd, action, &attrs));
    }
    int set_custom_speed(int fd, std::uint32_t rate) override { return set_custom_speed_termios2(fd, rate); }
    int ioctl(int fd, unsigned long request, int* arg) override {
        return result(arg ? ::ioctl(fd, request, arg) : ::ioctl(fd, request));
    }
    int tcflush(int fd, int queue) override { return result(::tcflush(fd, queue)); }
    int dup_cloexec(int fd, int& copy) override {
        copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        return copy < 0 ? errno : 0;
    }
};

}  // namespace

TtyCalls& system_tty() {
    static SystemTty calls;
    return calls;
}

}  // namespace marovenda::backend::native
