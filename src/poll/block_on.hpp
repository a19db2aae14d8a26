// Driving a future from an ordinary thread: the thread polls it itself and
// sleeps between wake-ups, while the runtime's workers run its timers and
// readiness waits.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "poll/poll.hpp"

namespace marovenda::poll {

// A pause hint for spin loops.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Wakes one parked thread; a wake before the park is not lost. A parked
// thread spins briefly before it sleeps: a hand-off between two threads
// (a writer filling what a reader drains) then costs no futex round trip.
// When the future it drives registered descriptors (FdWaiter), the thread
// sleeps in ppoll() on them and on an eventfd that wake() writes instead.
class Parker final : public Wakeable, public FdWaiter {
public:
    Parker() = default;
    Parker(const Parker&) = delete;
    Parker& operator=(const Parker&) = delete;
    ~Parker() override;

    void wake() noexcept override;
    void watch(int fd, short events) noexcept override;
    // Returns once woken, a watched descriptor is ready, or at the deadline;
    // clears the wake and the watched descriptors.
    void park_until(std::chrono::steady_clock::time_point deadline);
    // Forgets a wake left over from an earlier drive; only while nobody
    // else holds this parker.
    void clear() noexcept {
        woken_.store(false);
        n_watched_ = 0;
        overflow_ = false;
    }

private:
    enum Sleep : int { Awake, OnCondition, OnDescriptors };
    void sleep_on_condition(std::chrono::steady_clock::time_point deadline);
    void sleep_on_descriptors(std::chrono::steady_clock::time_point deadline);

    static constexpr int kWatched = 4;
    std::atomic<bool> woken_{false};
    std::atomic<int> sleeping_{Awake};
    std::mutex mu_;
    std::condition_variable cv_;
    std::atomic<int> event_fd_{-1};  // made by the first sleep on descriptors
    struct Watch {
        int fd;
        short events;
    } watched_[kWatched];
    int n_watched_ = 0;
    bool overflow_ = false;  // more than kWatched: sleep in short slices
};

// This thread's parker: the one of its last drive when nothing else holds it
// any more (no waiter kept its waker), else a new one. Valid until this
// thread's next call.
const std::shared_ptr<Parker>& thread_parker();

// Polls f on this thread until it is ready or `window` has passed since the
// first poll (counted from where that poll first needed the time, or from
// its end). The future is polled first at every wake-up and the window is
// consulted only when it is still pending, so a future that is ready when
// polled completes even after the window. Pending afterwards means the window
// ran out; f keeps whatever it set up. A future that gave way when its
// budget ran out woke this thread, which polls it again at once.
template <class T>
Poll<T> block_on_for(Future<T>& f, asio::io_context& io, BlockingExecutor& blocking,
                     std::chrono::steady_clock::duration window) {
    // The context's waker keeps this drive's parker, whatever a nested drive
    // on this thread does to the thread's slot.
    const std::shared_ptr<Parker>& kept = thread_parker();
    Parker* const parker = kept.get();
    Context cx{Waker(kept), &io, &blocking, Horizon::after(window), parker};
    for (;;) {
        cx.budget.renew();
        Poll<T> p = f.poll(cx);
        if (p.ready()) return p;
        const auto end = *cx.horizon.get();
        if (std::chrono::steady_clock::now() >= end) return p;
        parker->park_until(end);
    }
}

}  // namespace marovenda::poll
