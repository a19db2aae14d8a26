#include <gtest/gtest.h>

#include <cerrno>

#include "errors.hpp"

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
    testing::Values(ErrnoCase{"Permission denied (os error 13)", 13},
                    // Only the last marker counts.
                    ErrnoCase{"x (os error 5) then (os error 7)", 7}, ErrnoCase{"bad (os error -3)", -3},
                    ErrnoCase{"bad (os error +4)", 4}, ErrnoCase{"bad (os error -)", std::nullopt},
                    ErrnoCase{"bad (os error )", std::nullopt}, ErrnoCase{"bad (os error 12", std::nullopt},
                    ErrnoCase{"bad (os error 1x)", std::nullopt},
                    ErrnoCase{"bad (os error 99999999999)", std::nullopt},
                    ErrnoCase{"bad (os error 2147483647)", 2147483647},
                    ErrnoCase{"bad (os error -2147483648)", -2147483647 - 1},
                    // With a marker the description table is not consulted.
                    ErrnoCase{"No such file or directory (os error x)", std::nullopt},
                    ErrnoCase{"No such file or directory", 2}, ErrnoCase{"Invalid argument", 22},
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

TEST(SerialError, FromLibrary) {
    auto v = SerialError::from_library(true, "Invalid argument (os error 22)");
    EXPECT_EQ(v.kind(), Kind::Value);
    EXPECT_EQ(v.text(), "Invalid argument (os error 22)");
    auto o = SerialError::from_library(false, "Permission denied (os error 13)");
    EXPECT_EQ(o.kind(), Kind::Os);
    EXPECT_EQ(o.os_errno(), 13);
    EXPECT_EQ(o.text(), "Permission denied (os error 13)");
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
