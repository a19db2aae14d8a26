// The settings record applied to a device.
#pragma once

#include <cstdint>
#include <optional>

#include "timeouts.hpp"

namespace marovenda::port {

enum class Parity : std::uint8_t { None = 0, Even = 1, Odd = 2, Mark = 3, Space = 4 };
enum class StopBits : std::uint8_t { One = 0, OnePointFive = 1, Two = 2 };

// A plain value, copied whole whenever an operation or an open needs it.
struct Settings {
    std::optional<Seconds> timeout;             // read timeout; absent = wait without limit
    std::optional<Seconds> write_timeout;       // absent = no limit
    std::optional<Seconds> inter_byte_timeout;  // between chunks once a read has data
    std::uint32_t baudrate = 9600;
    bool xonxoff = false;
    bool rtscts = false;
    bool dsrdtr = false;
    StopBits stopbits = StopBits::One;
    std::optional<bool> exclusive;  // only true asks for exclusive access, at the next open
    Parity parity = Parity::None;
    std::uint8_t bytesize = 8;

    bool operator==(const Settings&) const = default;
};

}  // namespace marovenda::port
