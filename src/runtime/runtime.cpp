#include "runtime/runtime.hpp"

#include <pthread.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <latch>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace marovenda::runtime {

namespace {

constexpr int kWorkerThreads = 2;
// An idle blocking thread lingers this long for more work before it exits.
constexpr auto kBlockingKeepAlive = std::chrono::seconds(10);
constexpr std::size_t kMaxBlockingThreads = 512;
// How often a retiring stand-in worker notices that it may go.
constexpr auto kRetireCheck = std::chrono::milliseconds(50);

// The runtime this thread schedules for, if it is a worker or a stand-in.
[[gnu::tls_model("initial-exec")]] thread_local Runtime* t_worker = nullptr;

void name_thread() noexcept { pthread_setname_np(pthread_self(), "marovenda"); }

// Threads created on demand for calls that block; idle ones exit after a while.
class BlockingPool final : public poll::BlockingExecutor {
public:
    bool execute(std::function<void()> job) noexcept override {
        try {
            std::unique_lock lock(mutex_);
            jobs_.push_back(std::move(job));
            if (jobs_.size() <= idle_) {
                cv_.notify_one();
                return true;
            }
            if (threads_ >= kMaxBlockingThreads) return true;  // queued for a busy thread
            try {
                std::thread(&BlockingPool::serve, this).detach();
                ++threads_;
            } catch (...) {
                if (threads_ > 0) return true;
                jobs_.pop_back();
                return false;
            }
            return true;
        } catch (...) {
            return false;
        }
    }

private:
    void serve() noexcept {
        name_thread();
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            cv_.wait_for(lock, kBlockingKeepAlive, [this] { return !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) {
                --threads_;
                return;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            try {
                job();
            } catch (...) {
                // A failing job ends itself only; the thread serves on.
            }
            job = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
};

// Runs the reactor until it is stopped. A handler that throws ends only
// itself: the thread goes back to serving.
void serve_reactor(asio::io_context& io) noexcept {
    for (;;) {
        try {
            io.run();
            return;
        } catch (...) {
        }
    }
}

}  // namespace

struct Runtime::State {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    BlockingPool pool;
    std::latch started{kWorkerThreads};
};

asio::io_context& Runtime::io() noexcept { return state_->io; }
poll::BlockingExecutor& Runtime::blocking() noexcept { return state_->pool; }

// One spawned task. The runtime keeps it alive through self until it ends;
// wakers and abort handles hold further references.
class TaskCell final : public poll::Wakeable, public std::enable_shared_from_this<TaskCell> {
public:
    TaskCell(Runtime& rt, poll::BoxFuture<void> future) noexcept : rt_(rt), future_(std::move(future)) {}

    void wake() noexcept override {
        std::unique_lock lock(mutex_);
        switch (phase_) {
            case Phase::Idle:
                phase_ = Phase::Queued;
                lock.unlock();
                post();
                return;
            case Phase::Running: phase_ = Phase::RunningWoken; return;
            case Phase::Queued:
            case Phase::RunningWoken:
            case Phase::Done: return;
        }
    }

    void abort() noexcept {
        // In a forked child no thread will ever poll this task, and a worker
        // of the parent that held its lock or ran its poll at the fork does
        // not exist there: waiting for it would never end. The task stays as
        // the fork left it and takes no further bytes.
        if (in_forked_child()) return;
        std::unique_lock lock(mutex_);
        if (phase_ == Phase::Done || aborted_) return;
        aborted_ = true;
        if (phase_ == Phase::Idle) {
            phase_ = Phase::Queued;
            lock.unlock();
            post();
            return;
        }
        // Queued: run() sees the flag before any poll. Running: the poll in
        // progress may still take bytes, so wait for it to return; after
        // abort() returns the operation consumes nothing more. Polls never
        // wait for anything, so this wait is short.
        if (runner_ != std::this_thread::get_id())
            idle_.wait(lock, [&] { return phase_ != Phase::Running && phase_ != Phase::RunningWoken; });
    }

    void post() { asio::post(rt_.io(), [self = shared_from_this()] { self->run(); }); }

    std::shared_ptr<TaskCell> self;

private:
    enum class Phase { Idle, Queued, Running, RunningWoken, Done };

    // Only one run() is ever in progress for a task: it is posted only on the
    // way into Queued, and Queued is left only here.
    void run() noexcept {
        bool aborted;
        {
            std::lock_guard lock(mutex_);
            aborted = aborted_;
            phase_ = aborted ? Phase::Done : Phase::Running;
            runner_ = std::this_thread::get_id();
        }
        if (aborted) return finish();

        poll::Context cx{poll::Waker(shared_from_this()), &rt_.io(), &rt_.blocking()};
        bool done = false;
        try {
            done = future_->poll(cx).ready();
        } catch (...) {
            done = true;  // a fault ends this task only
        }

        std::unique_lock lock(mutex_);
        runner_ = {};
        if (done || aborted_) {
            phase_ = Phase::Done;
            lock.unlock();
            idle_.notify_all();
            return finish();
        }
        if (phase_ == Phase::RunningWoken) {
            phase_ = Phase::Queued;
            lock.unlock();
            post();
        } else {
            phase_ = Phase::Idle;
        }
    }

    // The future is destroyed here, on a worker and with no lock of ours
    // held, since its destructor may release port locks and wake others.
    void finish() noexcept {
        future_.reset();
        self.reset();
    }

    Runtime& rt_;
    poll::BoxFuture<void> future_;  // touched only by the run() in progress
    std::mutex mutex_;
    std::condition_variable idle_;  // a poll in progress has returned
    std::thread::id runner_;        // the thread polling, while Running
    Phase phase_ = Phase::Queued;
    bool aborted_ = false;
};

void AbortHandle::abort() const noexcept {
    if (task_) task_->abort();
}

AbortHandle Runtime::spawn(poll::BoxFuture<void> task) {
    auto cell = std::make_shared<TaskCell>(*this, std::move(task));
    cell->self = cell;
    try {
        cell->post();
    } catch (...) {
        cell->self.reset();
        throw;
    }
    return AbortHandle(std::move(cell));
}

SerialError start_error(const std::exception& e) {
    std::string message = "failed to start the tokio runtime: ";
    auto* os = dynamic_cast<const std::system_error*>(&e);
    if (os && (os->code().category() == std::system_category() || os->code().category() == std::generic_category())) {
        int code = os->code().value();
        message += SerialError::from_errno(code).text();
        return SerialError::os(code, std::move(message));
    }
    message += e.what();
    return SerialError::os(std::nullopt, std::move(message));
}

namespace {
// Set in every child process forked after the runtime started.
std::atomic<bool> g_forked{false};
}  // namespace

Result<Runtime*> start() {
    Runtime::State* state = nullptr;
    Runtime* rt = nullptr;
    std::vector<std::thread> workers;
    try {
        state = new Runtime::State;
        rt = new Runtime(state, 0);
        for (int i = 0; i < kWorkerThreads; ++i) {
            workers.emplace_back([rt, state] {
                name_thread();
                t_worker = rt;
                state->started.count_down();
                serve_reactor(state->io);
            });
        }
        // Every worker has its name before anyone can see the runtime.
        state->started.wait();
    } catch (const std::exception& e) {
        if (state) state->io.stop();
        for (auto& t : workers) t.join();
        delete rt;
        delete state;
        return start_error(e);
    }
    for (auto& t : workers) t.detach();
    rt->pid_ = ::getpid();
    // getpid() is a system call on every operation otherwise; a forked child
    // learns that it is one from this handler instead.
    ::pthread_atfork(nullptr, nullptr, [] { g_forked.store(true, std::memory_order_relaxed); });
    return rt;
}

Result<Runtime*> runtime() {
    // Deliberately leaked: the runtime's threads run until the process exits.
    // Once started, the runtime is read from here without the once-cell's
    // call, which every operation would otherwise pay.
    static std::atomic<Runtime*> started{nullptr};
    Runtime* rt = started.load(std::memory_order_acquire);
    if (rt) {
        if (g_forked.load(std::memory_order_relaxed) && ::getpid() != rt->pid()) return SerialError::forked();
        return rt;
    }
    static auto* cell = new OnceResult<Runtime*>();
    const Result<Runtime*>& r = cell->get([] {
        try {
            return start();
        } catch (const std::exception& e) {
            return Result<Runtime*>(start_error(e));
        }
    });
    if (!r) return r.error();
    rt = r.value();
    started.store(rt, std::memory_order_release);
    if (g_forked.load(std::memory_order_relaxed) && ::getpid() != rt->pid()) return SerialError::forked();
    return rt;
}

bool is_worker_thread() noexcept { return t_worker != nullptr; }

bool in_forked_child() noexcept {
    if (!g_forked.load(std::memory_order_relaxed)) return false;
    auto r = runtime();
    return !r && r.error().kind() == SerialError::Kind::Forked;
}

struct HandOff::Replacement {
    std::atomic<bool> retire{false};
};

HandOff::HandOff() noexcept {
    Runtime* rt = t_worker;
    if (!rt) return;
    try {
        auto stand_in = std::make_shared<Replacement>();
        bool ok = rt->blocking().execute([rt, stand_in] {
            t_worker = rt;
            while (!stand_in->retire.load(std::memory_order_acquire)) {
                try {
                    rt->io().run_one_for(kRetireCheck);
                } catch (...) {
                }
            }
            t_worker = nullptr;
        });
        // Without a stand-in the caller still runs; the other worker serves on.
        if (!ok) return;
        replacement_ = std::move(stand_in);
    } catch (...) {
        return;
    }
    worker_ = rt;
    t_worker = nullptr;  // a blocking thread until the guard ends
}

HandOff::~HandOff() {
    if (!worker_) return;
    replacement_->retire.store(true, std::memory_order_release);
    try {
        // Lets the stand-in leave at once if it is the one that runs it.
        asio::post(worker_->io(), [] {});
    } catch (...) {
    }
    t_worker = worker_;
}

}  // namespace marovenda::runtime
