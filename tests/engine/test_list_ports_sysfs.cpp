#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "list_ports/sysfs.hpp"

namespace fs = std::filesystem;
using namespace marovenda::list_ports;

namespace {

// A sysfs tree laid out like the kernel's: class/tty entries and device links
// are relative symlinks into devices/, every folder names its bus with a
// subsystem link, and dev/ holds the device nodes (plain files will do).
class FakeSysfs : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/marovenda-sysfs-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        top = tmpl;
        roots = {(top / "sys").string(), (top / "dev").string()};
        fs::create_directories(sys() / "class/tty");
        fs::create_directories(top / "dev");
    }
    void TearDown() override {
        fs::permissions(sys() / "class/tty", fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(top);
    }

    fs::path sys() const { return top / "sys"; }

    static void link(const fs::path& target, const fs::path& at) {
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    }
    static void write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

    // A device folder on a bus; its subsystem link points at bus/<bus>.
    fs::path device(const std::string& path, const std::string& bus) {
        fs::path dir = sys() / "devices" / path;
        fs::create_directories(dir);
        fs::create_directories(sys() / "bus" / bus);
        link(sys() / "bus" / bus, dir / "subsystem");
        return dir;
    }
    void usb_ids(const fs::path& dir, const char* vid, const char* pid) {
        write(dir / "idVendor", std::string(vid) + "\n");
        write(dir / "idProduct", std::string(pid) + "\n");
    }

    // The tty class device of parent, its class/tty entry and, when wanted,
    // its /dev node.
    fs::path tty(const std::string& name, const fs::path& parent, bool node = true) {
        fs::path dir = parent / "tty" / name;
        fs::create_directories(dir);
        link(parent, dir / "device");
        link(dir, sys() / "class/tty" / name);
        if (node) write(top / "dev" / name, "");
        return dir;
    }
    // A terminal with no device behind it, such as tty0.
    void virtual_tty(const std::string& name) {
        fs::path dir = sys() / "devices/virtual/tty" / name;
        fs::create_directories(dir);
        link(dir, sys() / "class/tty" / name);
        write(top / "dev" / name, "");
    }

    // The controller, a hub, an FTDI adapter (usb-serial) and an Arduino
    // (CDC-ACM) on bus 1; a PCI UART; 8250 platform slots of several types;
    // a virtual terminal; a USB port whose node is gone.
    void populate() {
        device("pci0000:00", "pci");
        device("pci0000:00/0000:00:14.0", "pci");
        std::string usb1 = "pci0000:00/0000:00:14.0/usb1";
        usb_ids(device(usb1, "usb"), "1d6b", "0002");
        usb_ids(device(usb1 + "/1-1", "usb"), "05e3", "0608");

        fs::path ftdi = device(usb1 + "/1-1/1-1.2", "usb");
        usb_ids(ftdi, "0403", "6001");
        write(ftdi / "serial", "A1B2C3\n");
        write(ftdi / "manufacturer", "FTDI\n");
        write(ftdi / "product", "FT232R USB UART\n");
        fs::path ftdi_if = device(usb1 + "/1-1/1-1.2/1-1.2:1.0", "usb");
        write(ftdi_if / "interface", "FT232R USB UART\n");
        tty("ttyUSB0", device(usb1 + "/1-1/1-1.2/1-1.2:1.0/ttyUSB0", "usb-serial"));

        fs::path uno = device(usb1 + "/1-3", "usb");
        usb_ids(uno, "2341", "0043");
        write(uno / "manufacturer", "Arduino (www.arduino.cc)\n");
        tty("ttyACM0", device(usb1 + "/1-3/1-3:1.0", "usb"));

        fs::path gone = device(usb1 + "/1-4", "usb");
        usb_ids(gone, "10c4", "ea60");
        tty("ttyUSB1", device(usb1 + "/1-4/1-4:1.0/ttyUSB1", "usb-serial"), false);

        fs::path card = device("pci0000:00/0000:03:00.0", "pci");
        write(card / "vendor", "0x1415\n");
        write(card / "device", "0xc158\n");
        device("pci0000:00/0000:03:00.0/0000:03:00.0:0", "serial-base");
        write(tty("ttyS4", device("pci0000:00/0000:03:00.0/0000:03:00.0:0/0000:03:00.0:0.0", "serial-base")) / "type",
              "4\n");

        device("platform/serial8250", "platform");
        device("platform/serial8250/serial8250:0", "serial-base");
        auto slot = [&](const std::string& n) {
            return device("platform/serial8250/serial8250:0/serial8250:0." + n, "serial-base");
        };
        write(tty("ttyS0", slot("0")) / "type", "4\n");
        write(tty("ttyS1", slot("1")) / "type", "0\n");
        write(tty("ttyS2", slot("2")) / "type", " 0 ");
        write(tty("ttyS3", slot("3")) / "type", "00\n");
        tty("ttyS5", slot("5"));  // no type file

        virtual_tty("tty0");
    }

    fs::path top;
    Roots roots;
};

TEST_F(FakeSysfs, ListsDevicePortsInNameOrderWithTheirDetails) {
    populate();
    auto result = enumerate_ports(roots);
    ASSERT_TRUE(result.ok()) << result.error().text();
    const auto& ports = result.value();

    // Left out: tty0 (no device), ttyUSB1 (no node), ttyS1 and ttyS2 (type 0).
    std::vector<std::string> names;
    for (const auto& p : ports) names.push_back(fs::path(p.device).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS3", "ttyS4", "ttyS5", "ttyUSB0"}));
    for (const auto& p : ports) EXPECT_EQ(fs::path(p.device).parent_path(), top / "dev");

    const PortRecord& acm = ports[0];
    ASSERT_EQ(acm.kind, PortKind::Usb);
    EXPECT_EQ(acm.usb.vid, 0x2341);
    EXPECT_EQ(acm.usb.pid, 0x0043);
    EXPECT_EQ(acm.usb.serial_number, std::nullopt);
    EXPECT_EQ(acm.usb.manufacturer, "Arduino (www.arduino.cc)");
    EXPECT_EQ(acm.usb.product, std::nullopt);
    ASSERT_TRUE(acm.usb.location);
    EXPECT_EQ(location_text(*acm.usb.location), "1-3");

    // The adapter's own ids, not its hub's or the controller's.
    const PortRecord& ftdi = ports[5];
    ASSERT_EQ(ftdi.kind, PortKind::Usb);
    EXPECT_EQ(ftdi.usb.vid, 0x0403);
    EXPECT_EQ(ftdi.usb.pid, 0x6001);
    EXPECT_EQ(ftdi.usb.serial_number, "A1B2C3");
    EXPECT_EQ(ftdi.usb.manufacturer, "FTDI");
    EXPECT_EQ(ftdi.usb.product, "FT232R USB UART");
    ASSERT_TRUE(ftdi.usb.location);
    EXPECT_EQ(ftdi.usb.location->bus, "1");
    EXPECT_EQ(ftdi.usb.location->ports, (std::vector<std::uint8_t>{1, 2}));

    EXPECT_EQ(ports[3].kind, PortKind::Pci);
    for (int i : {1, 2, 4}) EXPECT_EQ(ports[i].kind, PortKind::Unknown) << names[i];
}

TEST_F(FakeSysfs, EmptyTtyClassGivesNoPorts) {
    auto result = enumerate_ports(roots);
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.value().empty());
}

TEST_F(FakeSysfs, UnreadableTtyClassIsAnOsErrorWithItsErrno) {
    auto expect_errno = [&](int code) {
        auto result = enumerate_ports(roots);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), marovenda::SerialError::from_errno(code));
    };
    fs::remove(sys() / "class/tty");
    expect_errno(ENOENT);
    write(sys() / "class/tty", "");
    expect_errno(ENOTDIR);
    fs::remove(sys() / "class/tty");
    roots.sys = (top / "nowhere").string();
    expect_errno(ENOENT);

    roots.sys = sys().string();
    fs::create_directories(sys() / "class/tty");
    if (::geteuid() == 0) GTEST_SKIP() << "root reads folders whatever their mode";
    fs::permissions(sys() / "class/tty", fs::perms::none);
    expect_errno(EACCES);
}

struct LocationCase {
    UsbLocation location;
    const char* text;
};

void PrintTo(const LocationCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class LocationText : public testing::TestWithParam<LocationCase> {};

TEST_P(LocationText, Formats) { EXPECT_EQ(location_text(GetParam().location), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, LocationText,
    testing::Values(LocationCase{{"1", {1, 2}}, "1-1.2"}, LocationCase{{"3", {2}}, "3-2"}, LocationCase{{"3", {}}, "3-"},
                    LocationCase{{"Port_#0001.Hub_#0002 USBROOT(0)", {1, 4}}, "1-1.4"},
                    // The last USBROOT( counts.
                    LocationCase{{"USBROOT(5)#USBROOT(7)", {255}}, "8-255"},
                    // No number after it, or one too large: the text as it is.
                    LocationCase{{"USBROOT(x)", {1}}, "USBROOT(x)-1"},
                    LocationCase{{"USBROOT(99999999999999999999999)", {1}}, "USBROOT(99999999999999999999999)-1"},
                    LocationCase{{"USBROOT(18446744073709551615)", {}}, "18446744073709551615-"}));

}  // namespace
