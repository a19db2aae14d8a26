#include "list_ports/sysfs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>

namespace marovenda::list_ports {

namespace {

// Sysfs attributes are at most a page; anything longer is not one.
constexpr std::size_t max_attribute = 64 * 1024;

std::optional<std::string> read_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    bool ok = true;
    while (text.size() < max_attribute) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return text;
}

// An attribute's value without the line feed the kernel ends it with.
std::optional<std::string> read_attribute(const std::string& dir, const char* name) {
    auto text = read_file(dir + "/" + name);
    if (text && !text->empty() && text->back() == '\n') text->pop_back();
    return text;
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view space = " \t\n\v\f\r";
    auto first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::optional<std::string> real_path(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> p(::realpath(path.c_str(), nullptr), &std::free);
    if (!p) return std::nullopt;
    return std::string(p.get());
}

std::string_view base_name(std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The bus a device folder belongs to, from its "subsystem" link.
std::string subsystem_of(const std::string& dir) {
    std::string link = dir + "/subsystem";
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    return std::string(base_name(std::string_view(buf, static_cast<std::size_t>(n))));
}

template <class T>
std::optional<T> parse_number(std::string_view s, int base) {
    T v{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// USB device folders are named "{bus}-{port}.{port}...", e.g. "1-1.2".
std::optional<UsbLocation> location_from_name(std::string_view name) {
    auto dash = name.find('-');
    if (dash == std::string_view::npos || !parse_number<unsigned>(name.substr(0, dash), 10)) return std::nullopt;
    UsbLocation loc{std::string(name.substr(0, dash)), {}};
    std::string_view rest = name.substr(dash + 1);
    while (true) {
        auto dot = rest.find('.');
        auto port = parse_number<std::uint8_t>(rest.substr(0, dot), 10);
        if (!port) return std::nullopt;
        loc.ports.push_back(*port);
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return loc;
}

std::optional<UsbDetails> usb_device(const std::string& dir) {
    if (subsystem_of(dir) != "usb") return std::nullopt;
    // Interfaces sit on the usb bus too but carry no ids; only the device does.
    auto vendor = read_attribute(dir, "idVendor");
    auto product_id = read_attribute(dir, "idProduct");
    if (!vendor || !product_id) return std::nullopt;
    auto vid = parse_number<std::uint16_t>(trim(*vendor), 16);
    auto pid = parse_number<std::uint16_t>(trim(*product_id), 16);
    if (!vid || !pid) return std::nullopt;
    UsbDetails usb;
    usb.vid = *vid;
    usb.pid = *pid;
    usb.serial_number = read_attribute(dir, "serial");
    usb.manufacturer = read_attribute(dir, "manufacturer");
    usb.product = read_attribute(dir, "product");
    usb.location = location_from_name(base_name(dir));
    return usb;
}

// Walks up from the tty's device towards the devices root: the first USB
// device makes it a USB port, else the first PCI function a PCI port.
void classify(PortRecord& port, std::string dir, const std::string& devices_root) {
    while (dir.size() > devices_root.size() + 1 && dir.starts_with(devices_root) && dir[devices_root.size()] == '/') {
        if (auto usb = usb_device(dir)) {
            port.kind = PortKind::Usb;
            port.usb = std::move(*usb);
            return;
        }
        if (subsystem_of(dir) == "pci") {
            port.kind = PortKind::Pci;
            return;
        }
        dir.erase(dir.rfind('/'));
    }
}

// Unpopulated 8250 slots report UART type 0 (unknown); opening them fails.
bool placeholder(const std::string& tty_dir) {
    auto type = read_file(tty_dir + "/type");
    return type && trim(*type) == "0";
}

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};

}  // namespace

Result<std::vector<PortRecord>> enumerate_ports(const Roots& roots) {
    const std::string class_dir = roots.sys + "/class/tty";
    std::unique_ptr<DIR, DirCloser> dir(::opendir(class_dir.c_str()));
    if (!dir) return SerialError::from_errno(errno);
    std::vector<std::string> names;
    while (true) {
        errno = 0;
        dirent* e = ::readdir(dir.get());
        if (!e) {
            if (errno != 0) return SerialError::from_errno(errno);
            break;
        }
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    dir.reset();
    // readdir's order is the file system's; name order is stable across runs.
    std::sort(names.begin(), names.end());

    const std::string devices_root = real_path(roots.sys + "/devices").value_or(roots.sys + "/devices");
    std::vector<PortRecord> ports;
    for (const auto& name : names) {
        const std::string tty_dir = class_dir + "/" + name;
        // Virtual terminals, ptys and the console have no device behind them.
        auto device = real_path(tty_dir + "/device");
        if (!device) continue;
        // Sysfs spells a "/" in a node name as "!".
        std::string node = name;
        std::replace(node.begin(), node.end(), '!', '/');
        PortRecord port;
        port.device = roots.dev + "/" + node;
        struct stat st;
        if (::stat(port.device.c_str(), &st) != 0) continue;
        if (placeholder(tty_dir)) continue;
        classify(port, *device, devices_root);
        ports.push_back(std::move(port));
    }
    return ports;
}

std::string location_text(const UsbLocation& location) {
    std::string bus = location.bus;
    constexpr std::string_view root = "USBROOT(";
    if (auto at = bus.rfind(root); at != std::string::npos) {
        std::string_view rest = std::string_view(bus).substr(at + root.size());
        std::size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
        if (auto n = parse_number<std::size_t>(rest.substr(0, digits), 10))
            bus = std::to_string(*n == std::numeric_limits<std::size_t>::max() ? *n : *n + 1);
    }
    std::string text = bus + "-";
    for (std::size_t i = 0; i < location.ports.size(); ++i) {
        if (i > 0) text += '.';
        text += std::to_string(location.ports[i]);
    }
    return text;
}

}  // namespace marovenda::list_ports
