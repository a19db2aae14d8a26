// The operation bodies shared by the blocking and asyncio faces, and the
// blocking drive that runs one of them for a Serial method.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "capi/ref.hpp"
#include "future/cell.hpp"
#include "port/port.hpp"

namespace marovenda::serial {

namespace ops {

using Core = std::shared_ptr<port::PortCore>;

Operation read(Core core, std::size_t size);
Operation read_until(Core core, std::string expected, std::optional<std::size_t> size);
Operation readline(Core core, Py_ssize_t size);
Operation readlines(Core core, Py_ssize_t hint);
Operation write(Core core, std::string data);
Operation flush(Core core);
Operation send_break(Core core, double duration);

}  // namespace ops

// Runs op for a blocking call: up to 50 ms on the calling thread, then as a
// runtime task waited on with signal checks. Attached; throws ErrorAlreadySet.
py::Ref run(Operation op);

}  // namespace marovenda::serial
