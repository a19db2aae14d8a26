#include "poll/combinators.hpp"

#include <cstdint>
#include <random>

namespace marovenda::poll {

namespace {

// Plain thread-local data with the initial-exec model: one offset from the
// thread pointer on every race, where a thread_local engine with a dynamic
// initialiser paid a wrapper call each time.
[[gnu::tls_model("initial-exec")]] thread_local std::uint64_t t_coin = 0;

std::uint64_t seed() noexcept {
    std::uint64_t s = reinterpret_cast<std::uintptr_t>(&t_coin);
    try {
        s ^= (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    } catch (...) {
        // the address alone still differs from thread to thread
    }
    return s | 1;  // xorshift never leaves zero
}

}  // namespace

bool coin_flip() noexcept {
    std::uint64_t x = t_coin;
    if (x == 0) x = seed();
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    t_coin = x;
    return (x >> 40) & 1;
}

}  // namespace marovenda::poll
