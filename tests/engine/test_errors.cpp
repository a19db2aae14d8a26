#include <gtest/gtest.h>

#include <cerrno>

#include "errors/error.hpp"

using marovenda::SerialError;
using Kind = SerialError::Kind;

namespace {

struct ErrnoCase {
    const char* description;
    std::optional<int> code;
};

class ErrnoFromDescription : public testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoFromDescription, RecoversOrRefuses) {
    EXPECT_EQ(marovenda::errno_from_description(GetParam().description), GetParam().code) << GetParam().description;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoFromDescription,
    testing::Values(ErrnoCase{"No such file or directory", 2}, ErrnoCase{"Invalid argument", 22},
                    ErrnoCase{"Not a typewriter", 25}, ErrnoCase{"Not a typewriter ", std::nullopt},
                    ErrnoCase{"Unable to acquire exclusive lock on serial port", std::nullopt}));

TEST(SerialError, DisplayTexts) {
    EXPECT_EQ(SerialError::port_not_open().text(), "Attempting to use a port that is not open");
    EXPECT_EQ(SerialError::already_open().text(), "Port is already open.");
    EXPECT_EQ(SerialError::not_configured().text(), "Port must be configured before it can be used.");
    EXPECT_EQ(SerialError::cancelled().text(), "the operation was cancelled");
    EXPECT_EQ(SerialError::forked().text(), "marovenda cannot be used in a child process created by fork()");
    EXPECT_EQ(SerialError::timeout("Write timeout").text(), "Write timeout");
}

TEST(SerialError, FromErrnoCarriesCodeAndOsErrorSuffix) {
    auto e = SerialError::from_errno(ENOENT);
    EXPECT_EQ(e.kind(), Kind::Os);
    EXPECT_EQ(e.os_errno(), ENOENT);
    EXPECT_EQ(e.text(), "No such file or directory (os error 2)");
}

TEST(SerialError, Described) {
    auto o = SerialError::described("Permission denied");
    EXPECT_EQ(o.kind(), Kind::Os);
    EXPECT_EQ(o.os_errno(), 13);
    EXPECT_EQ(o.text(), "Permission denied");
    EXPECT_EQ(SerialError::described("Unable to acquire exclusive lock on serial port").os_errno(), std::nullopt);
}

TEST(SerialError, OpenFailed) {
    auto with = SerialError::open_failed("/dev/ttyS9", SerialError::os(2, "No such file or directory"));
    EXPECT_EQ(with.os_errno(), 2);
    EXPECT_EQ(with.text(), "could not open port /dev/ttyS9: [Errno 2] No such file or directory");
    auto without = SerialError::open_failed("/dev/ttyS9", SerialError::value("bad"));
    EXPECT_EQ(without.kind(), Kind::Os);
    EXPECT_EQ(without.os_errno(), std::nullopt);
    EXPECT_EQ(without.text(), "could not open port /dev/ttyS9: bad");
}

}  // namespace
