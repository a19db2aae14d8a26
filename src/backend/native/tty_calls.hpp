// The terminal calls the native device makes, behind one small interface so
// tests can stand in a fake terminal and see every mask, call and errno.
//
// Each call returns 0, or the errno of its failure (never -1 with errno set),
// so a fake need not touch the thread's errno.
#pragma once

#include <termios.h>

#include <cstdint>

namespace marovenda::backend::native {

class TtyCalls {
public:
    virtual ~TtyCalls() = default;
    virtual int open(const char* path, int flags, int& fd) = 0;
    virtual int close(int fd) = 0;
    virtual int flock(int fd, int operation) = 0;
    virtual int tcgetattr(int fd, termios& attrs) = 0;
    virtual int tcsetattr(int fd, int action, const termios& attrs) = 0;
    // A rate with no B constant, through termios2 and BOTHER.
    virtual int set_custom_speed(int fd, std::uint32_t rate) = 0;
    // arg is the int the request reads or writes; null for requests without one.
    virtual int ioctl(int fd, unsigned long request, int* arg) = 0;
    virtual int tcflush(int fd, int queue) = 0;
    virtual int dup_cloexec(int fd, int& copy) = 0;
};

// The real calls.
TtyCalls& system_tty();

// termios2 with BOTHER for both directions. Kept in its own file: the kernel's
// termios headers cannot share a translation unit with <termios.h>.
int set_custom_speed_termios2(int fd, std::uint32_t rate);

}  // namespace marovenda::backend::native
