#include "poll/blocking.hpp"

namespace marovenda::poll {

std::uint64_t next_blocking_id() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace marovenda::poll
