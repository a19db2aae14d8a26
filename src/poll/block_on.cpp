#include "poll/block_on.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace marovenda::poll {

Parker::~Parker() {
    if (const int fd = event_fd_.load(); fd >= 0) ::close(fd);
}

void Parker::wake() noexcept {
    woken_.store(true);
    switch (sleeping_.load()) {
        case Awake: return;
        case OnCondition: {
            std::lock_guard lock(mu_);
            cv_.notify_one();
            return;
        }
        case OnDescriptors: {
            const std::uint64_t one = 1;
            (void)!::write(event_fd_.load(), &one, sizeof one);
            return;
        }
    }
}

void Parker::watch(int fd, short events) noexcept {
    for (int i = 0; i < n_watched_; ++i)
        if (watched_[i].fd == fd) {
            watched_[i].events |= events;
            return;
        }
    if (n_watched_ == kWatched) {
        overflow_ = true;
        return;
    }
    watched_[n_watched_++] = {fd, events};
}

void Parker::park_until(std::chrono::steady_clock::time_point deadline) {
    if (n_watched_ > 0 || overflow_) return sleep_on_descriptors(deadline);
    const auto spin_end = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    for (unsigned i = 1;; ++i) {
        if (woken_.exchange(false)) return;
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= std::min(spin_end, deadline)) break;
        cpu_relax();
    }
    sleep_on_condition(deadline);
}

void Parker::sleep_on_condition(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mu_);
    sleeping_.store(OnCondition);
    cv_.wait_until(lock, deadline, [&] { return woken_.load(); });
    sleeping_.store(Awake);
    woken_.store(false);
}

void Parker::sleep_on_descriptors(std::chrono::steady_clock::time_point deadline) {
    const int n = n_watched_;
    const bool overflow = overflow_;
    n_watched_ = 0;
    overflow_ = false;
    int efd = event_fd_.load();
    if (efd < 0) {
        efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (efd < 0) {
            // Without an eventfd a wake cannot end the sleep: look at the
            // descriptors in short slices instead.
            deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
        }
        event_fd_.store(efd);
    }
    pollfd set[kWatched + 1];
    for (int i = 0; i < n; ++i) set[i] = {watched_[i].fd, watched_[i].events, 0};
    set[n] = {efd, POLLIN, 0};  // a negative fd is ignored by ppoll
    if (overflow) deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
    sleeping_.store(OnDescriptors);
    if (!woken_.load()) {
        const auto left = std::max<std::chrono::steady_clock::duration>(deadline - std::chrono::steady_clock::now(), {});
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        (void)::ppoll(set, static_cast<nfds_t>(n + 1), &ts, nullptr);
    }
    sleeping_.store(Awake);
    if (efd >= 0 && (set[n].revents & POLLIN)) {
        std::uint64_t count;
        (void)!::read(efd, &count, sizeof count);
    }
    woken_.store(false);
}

const std::shared_ptr<Parker>& thread_parker() {
    // Initial-exec, like the engine's other thread-locals: an offset from the
    // thread pointer instead of a __tls_get_addr call on every drive.
    [[gnu::tls_model("initial-exec")]] thread_local std::shared_ptr<Parker> kept;
    if (kept && kept.use_count() == 1) {
        kept->clear();
    } else {
        kept = std::make_shared<Parker>();
    }
    return kept;
}

}  // namespace marovenda::poll
