#include "poll/combinators.hpp"

#include <random>

namespace marovenda::poll {

bool coin_flip() noexcept {
    thread_local std::minstd_rand gen{std::random_device{}()};
    return (gen() & 0x100) != 0;
}

}  // namespace marovenda::poll
