// What a listed port says of itself, and the rules that derive its texts,
// its hash and its sort order. Pure: no system calls, no Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marovenda::list_ports {

// The fields of one ListPortInfo.
struct Fields {
    std::string device;
    std::string name;
    std::string description;
    std::string hwid;
    std::optional<std::string> serial_number;
    std::optional<std::string> location;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<std::string> interface;
    std::optional<std::uint16_t> vid;
    std::optional<std::uint16_t> pid;
};

// name from the device path; description and hwid "n/a".
void init_fields(Fields& f, std::string device);
// The last component of a path, ignoring trailing slashes and "." parts; the
// whole text when there is none or it is "..".
std::string last_component(std::string_view path);
std::string usb_description(const Fields& f);
std::string usb_info(const Fields& f);
// description and hwid from the USB fields.
void apply_usb_info(Fields& f);

// SipHash-1-3 with both keys zero.
std::uint64_t siphash13(std::string_view data);
// The hash of a port: its device as text; never -1.
std::int64_t device_hash(const std::string& device);

// Digit runs compare as numbers, everything else byte by byte, so that
// ttyS2 sorts before ttyS10. A run too long for 128 bits counts as text.
using KeyElement = std::vector<unsigned __int128>;
std::vector<KeyElement> natural_key(std::string_view s);

}  // namespace marovenda::list_ports
