#include "list_ports/describe.hpp"

#include <gtest/gtest.h>

namespace {

using namespace marovenda::list_ports;

TEST(Describe, NameIsTheLastComponent) {
    struct Case {
        const char* path;
        const char* name;
    };
    for (auto c : {Case{"/dev/ttyS0", "ttyS0"}, Case{"/dev/", "dev"}, Case{"a/./", "a"}, Case{"..", ".."},
                   Case{"", ""}, Case{"///", "///"}, Case{"/dev/..", "/dev/.."}})
        EXPECT_EQ(last_component(c.path), c.name) << c.path;
    Fields f;
    init_fields(f, "/dev/ttyUSB0");
    EXPECT_EQ(f.name, "ttyUSB0");
    EXPECT_EQ(f.description, "n/a");
    EXPECT_EQ(f.hwid, "n/a");
}

TEST(Describe, UsbTexts) {
    Fields f;
    init_fields(f, "/dev/ttyACM0");
    apply_usb_info(f);
    EXPECT_EQ(f.description, "ttyACM0");
    EXPECT_EQ(f.hwid, "USB VID:PID=0000:0000");
    f.vid = 0x0403;
    f.pid = 0x6001;
    f.serial_number = "A1";
    f.location = "1-1.2:1.0";
    f.interface = "UART";
    EXPECT_EQ(usb_description(f), "None - UART");
    f.product = "FT232R";
    apply_usb_info(f);
    EXPECT_EQ(f.description, "FT232R - UART");
    EXPECT_EQ(f.hwid, "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.2:1.0");
}

TEST(Describe, HashIsStableAcrossRuns) {
    // The values the objects have always had.
    EXPECT_EQ(device_hash("/dev/ttyS0"), -3007146999624241898);
    EXPECT_EQ(device_hash(""), 3476900567878811119);
    EXPECT_EQ(device_hash("abcdefgh"), 6689927370435554326);
}

TEST(Describe, NaturalKeyOrdersDigitRunsAsNumbers) {
    EXPECT_LT(natural_key("ttyS2"), natural_key("ttyS10"));
    EXPECT_LT(natural_key("ttyS10"), natural_key("ttyT0"));
    EXPECT_LT(natural_key("a"), natural_key("a0"));
    EXPECT_EQ(natural_key("x007"), natural_key("x7"));
    // Longer than 128 bits: compared as text.
    const std::string huge(45, '9');
    EXPECT_LT(natural_key("a" + huge), natural_key("a" + huge + "0"));
    EXPECT_LT(natural_key("a5"), natural_key("a" + huge));
}

}  // namespace
