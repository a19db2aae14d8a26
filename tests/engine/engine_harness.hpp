// Test driving for engine futures: a reactor on its own thread (like the
// runtime's), a blocking pool of plain threads, and a waker that counts.
#pragma once

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "poll/poll.hpp"

namespace marovenda::test {

class CountingWaker final : public poll::Wakeable {
public:
    void wake() noexcept override {
        {
            std::lock_guard g(m_);
            ++count_;
        }
        cv_.notify_all();
    }
    int count() {
        std::lock_guard g(m_);
        return count_;
    }
    // Waits until count() differs from seen; false on timeout.
    bool wait_past(int seen, std::chrono::milliseconds limit) {
        std::unique_lock g(m_);
        return cv_.wait_for(g, limit, [&] { return count_ != seen; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int count_ = 0;
};

// One thread per job; joined at destruction. After hold(), jobs wait until
// release() starts them (or are dropped unrun with the pool).
class ThreadPool final : public poll::BlockingExecutor {
public:
    bool execute(std::function<void()> job) noexcept override {
        std::lock_guard g(m_);
        if (refuse) return false;
        ++jobs;
        if (hold_)
            held_.push_back(std::move(job));
        else
            threads_.emplace_back(std::move(job));
        return true;
    }
    void hold() {
        std::lock_guard g(m_);
        hold_ = true;
    }
    void release() {
        std::lock_guard g(m_);
        hold_ = false;
        for (auto& job : held_) threads_.emplace_back(std::move(job));
        held_.clear();
    }
    ~ThreadPool() override {
        std::vector<std::thread> ts;
        {
            std::lock_guard g(m_);
            ts.swap(threads_);
        }
        for (auto& t : ts) t.join();
    }
    bool refuse = false;
    int jobs = 0;

private:
    std::mutex m_;
    bool hold_ = false;
    std::vector<std::function<void()>> held_;
    std::vector<std::thread> threads_;
};

class Harness {
public:
    Harness() : work_(io.get_executor()), io_thread_([this] { io.run(); }) {
        cx.waker = poll::Waker(waker);
        cx.io = &io;
        cx.blocking = &pool;
    }
    ~Harness() {
        work_.reset();
        io.stop();
        io_thread_.join();
    }

    // Polls f until it is ready, sleeping between wake-ups; fails the test
    // when no wake-up comes within limit.
    template <class F>
    auto block_on(F& f, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        for (;;) {
            const int seen = waker->count();
            cx.budget.renew();
            auto p = f.poll(cx);
            if (p.ready()) return std::move(p).value();
            if (!waker->wait_past(seen, limit)) {
                ADD_FAILURE() << "no wake-up within " << limit.count() << " ms";
                throw std::runtime_error("stuck");
            }
        }
    }
    // Polls once; true when ready.
    template <class F>
    bool step(F& f) {
        cx.budget.renew();
        return f.poll(cx).ready();
    }

    asio::io_context io;
    ThreadPool pool;
    std::shared_ptr<CountingWaker> waker = std::make_shared<CountingWaker>();
    poll::Context cx;

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread io_thread_;
};

inline double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace marovenda::test
