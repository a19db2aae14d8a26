// Only the kernel's termios headers here: they clash with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace marovenda::backend::native {

int set_custom_speed_termios2(int fd, std::uint32_t rate) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) < 0) return errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (::ioctl(fd, TCSETS2, &t) < 0) return errno;
    return 0;
}

}  // namespace marovenda::backend::native
