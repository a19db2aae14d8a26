// Running a call that blocks a thread on Context::blocking, as a future.
//
// The job is handed to the pool at the first poll. Dropping the future does not
// stop a job that has started: it runs to its end and its result is discarded.
// A job the pool never runs (refused, or destroyed unrun) completes as
// cancelled; one that throws completes as panicked.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "errors/error.hpp"
#include "poll/poll.hpp"

namespace marovenda::poll {

// Numbers the blocking jobs, for their failure texts.
std::uint64_t next_blocking_id() noexcept;

template <class T>
class Blocking {
public:
    explicit Blocking(std::function<Result<T>()> job) : job_(std::move(job)) {}

    Poll<Result<T>> poll(Context& cx) {
        if (!shared_) {
            shared_ = std::make_shared<Shared>();
            shared_->waker = cx.waker;
            auto ticket = std::make_shared<Ticket>(shared_, next_blocking_id(), std::move(job_));
            if (!cx.blocking || !cx.blocking->execute([ticket] { ticket->run(); })) ticket.reset();
        }
        std::lock_guard g(shared_->m);
        if (shared_->result) return std::move(*shared_->result);
        shared_->waker = cx.waker;
        return Pending{};
    }

private:
    struct Shared {
        std::mutex m;
        Waker waker;
        std::optional<Result<T>> result;
        void complete(Result<T> r) {
            Waker w;
            {
                std::lock_guard g(m);
                result.emplace(std::move(r));
                w = waker;
            }
            w.wake();
        }
    };
    // Owned by the job; completes the future however the job ends.
    struct Ticket {
        Ticket(std::shared_ptr<Shared> s, std::uint64_t id, std::function<Result<T>()> job)
            : shared(std::move(s)), id(id), job(std::move(job)) {}
        ~Ticket() {
            if (!ran) shared->complete(SerialError::os(std::nullopt, "task " + std::to_string(id) + " was cancelled"));
        }
        void run() noexcept {
            if (ran) return;
            ran = true;
            std::optional<Result<T>> r;
            try {
                r.emplace(job());
            } catch (const std::exception& e) {
                r.emplace(SerialError::os(std::nullopt, "task " + std::to_string(id) + " panicked with message " + e.what()));
            } catch (...) {
                r.emplace(SerialError::os(std::nullopt, "task " + std::to_string(id) + " panicked"));
            }
            job = nullptr;  // release what the job owns before reporting
            shared->complete(std::move(*r));
        }
        std::shared_ptr<Shared> shared;
        std::uint64_t id;
        std::function<Result<T>()> job;
        bool ran = false;
    };

    std::function<Result<T>()> job_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace marovenda::poll
