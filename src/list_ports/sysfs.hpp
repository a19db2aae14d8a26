// The machine's serial ports, found by walking the tty class in sysfs. Plain
// POSIX calls, no Python: the roots are parameters so tests can point the walk
// at a fake tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "errors/error.hpp"

namespace marovenda::list_ports {

// Where a USB device hangs: the bus and the chain of hub ports down to it.
struct UsbLocation {
    std::string bus;
    std::vector<std::uint8_t> ports;
};

struct UsbDetails {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::optional<std::string> serial_number;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<UsbLocation> location;
};

enum class PortKind : std::uint8_t { Usb, Pci, Unknown };

struct PortRecord {
    std::string device;  // the device node, "/dev/ttyUSB0"
    PortKind kind = PortKind::Unknown;
    UsbDetails usb;  // meaningful for PortKind::Usb only
};

struct Roots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

// Every tty backed by a device (virtual terminals and ptys have none) whose
// device node exists, in name order. Ports whose "type" attribute says 0 (a
// UART slot with no chip behind it) are left out. Fails only when the tty
// class folder itself cannot be read.
Result<std::vector<PortRecord>> enumerate_ports(const Roots& roots = {});

// "{bus}-{ports joined by .}". A bus text naming "USBROOT(n)" counts as bus
// n + 1, the way host controllers are numbered elsewhere.
std::string location_text(const UsbLocation& location);

}  // namespace marovenda::list_ports
