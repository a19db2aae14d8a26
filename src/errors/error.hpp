// The one error type of the engine. Values are plain data: they carry no Python
// objects and become Python exceptions only at the Python boundary (errors_py).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace marovenda {

class SerialError {
public:
    // Declared in this order on purpose: it is the order callers switch over.
    enum class Kind : std::uint8_t { Os, Timeout, PortNotOpen, AlreadyOpen, NotConfigured, Value, Cancelled, Forked };

    static SerialError os(std::optional<std::int32_t> code, std::string message) {
        return SerialError(Kind::Os, std::move(message), code);
    }
    // An operating-system error made from an errno value: "<strerror> (os error N)".
    static SerialError from_errno(int code);
    // An operating-system error known by its description (strerror's text or
    // one of the device code's own), its errno recovered from that text.
    static SerialError described(std::string description);
    static SerialError timeout(std::string text) { return SerialError(Kind::Timeout, std::move(text)); }
    static SerialError port_not_open() { return SerialError(Kind::PortNotOpen); }
    static SerialError already_open() { return SerialError(Kind::AlreadyOpen); }
    static SerialError not_configured() { return SerialError(Kind::NotConfigured); }
    static SerialError value(std::string text) { return SerialError(Kind::Value, std::move(text)); }
    static SerialError cancelled() { return SerialError(Kind::Cancelled); }
    static SerialError forked() { return SerialError(Kind::Forked); }
    // The error reported when a device port cannot be opened.
    static SerialError open_failed(std::string_view port, SerialError error);

    Kind kind() const noexcept { return kind_; }
    std::optional<std::int32_t> os_errno() const noexcept { return errno_; }
    // The display text every message and Python exception shows.
    std::string text() const;

    bool operator==(const SerialError&) const = default;

private:
    explicit SerialError(Kind k, std::string m = {}, std::optional<std::int32_t> e = std::nullopt)
        : kind_(k), errno_(e), message_(std::move(m)) {}

    Kind kind_;
    std::optional<std::int32_t> errno_;
    std::string message_;
};

// The errno inside a serial-library description: the number after the last
// "(os error ", or failing that the errno whose description is the whole text.
std::optional<std::int32_t> errno_from_description(std::string_view description);

// Result of an engine call: a value or a SerialError.
template <class T>
class Result {
public:
    Result(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(const T& value) : v_(std::in_place_index<0>, value) {}
    Result(SerialError error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    SerialError& error() & { return std::get<1>(v_); }
    SerialError&& error() && { return std::get<1>(std::move(v_)); }
    const SerialError& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, SerialError> v_;
};

template <>
class Result<void> {
public:
    Result() = default;
    Result(SerialError error) : e_(std::move(error)) {}
    bool ok() const noexcept { return !e_; }
    explicit operator bool() const noexcept { return ok(); }
    SerialError& error() & { return *e_; }
    SerialError&& error() && { return std::move(*e_); }
    const SerialError& error() const& { return *e_; }

private:
    std::optional<SerialError> e_;
};

}  // namespace marovenda
