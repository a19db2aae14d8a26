// The process-wide runtime, its tasks and the worker hand-off. The runtime is
// a singleton, so every test shares it just as the library does.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"

namespace {

using namespace std::chrono_literals;
using marovenda::Result;
using marovenda::SerialError;
using marovenda::poll::Context;
using marovenda::poll::Pending;
using marovenda::poll::Poll;
using marovenda::poll::Waker;
namespace rt = marovenda::runtime;

rt::Runtime& the_runtime() {
    auto r = rt::runtime();
    if (!r) throw std::runtime_error(r.error().text());
    return *r.value();
}

template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string thread_name() {
    std::ifstream f("/proc/thread-self/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

// How many handlers the runtime runs at once: three are posted and each waits
// a while for all three to be inside together.
int max_concurrency(rt::Runtime& r, std::set<std::string>* names = nullptr) {
    struct Probe {
        std::mutex m;
        std::condition_variable cv;
        int inside = 0, most = 0, finished = 0;
        std::set<std::string> names;
    };
    auto p = std::make_shared<Probe>();
    for (int i = 0; i < 3; ++i) {
        asio::post(r.io(), [p] {
            std::unique_lock lock(p->m);
            p->names.insert(thread_name() + (rt::is_worker_thread() ? "/worker" : "/other"));
            p->most = std::max(p->most, ++p->inside);
            p->cv.notify_all();
            p->cv.wait_for(lock, 300ms, [&] { return p->inside == 3; });
            --p->inside;
            ++p->finished;
            p->cv.notify_all();
        });
    }
    std::unique_lock lock(p->m);
    p->cv.wait_for(lock, 10s, [&] { return p->finished == 3; });
    if (names) *names = p->names;
    return p->most;
}

// Holds both workers inside handlers until opened, so tasks queue behind it.
class WorkerGate {
public:
    explicit WorkerGate(rt::Runtime& r) : s_(std::make_shared<S>()) {
        for (int i = 0; i < 2; ++i) {
            asio::post(r.io(), [s = s_] {
                std::unique_lock lock(s->m);
                ++s->blocked;
                s->cv.notify_all();
                s->cv.wait(lock, [&] { return s->open; });
            });
        }
        std::unique_lock lock(s_->m);
        s_->cv.wait(lock, [&] { return s_->blocked == 2; });
    }
    ~WorkerGate() { open(); }
    void open() {
        std::lock_guard lock(s_->m);
        s_->open = true;
        s_->cv.notify_all();
    }

private:
    struct S {
        std::mutex m;
        std::condition_variable cv;
        int blocked = 0;
        bool open = false;
    };
    std::shared_ptr<S> s_;
};

// What a test sees of its operation: polls, whether it is alive (standing in
// for the port lock it holds), and its latest waker.
struct Probe {
    std::atomic<int> polls{0};
    std::atomic<int> depth{0};
    std::atomic<bool> alive{false};
    std::atomic<bool> off_worker_poll{false};
    std::atomic<const void*> polled_object{nullptr};
    std::mutex m;
    Waker waker;

    void wake() {
        Waker w;
        {
            std::lock_guard lock(m);
            w = waker;
        }
        w.wake();
    }
};

using Step = std::function<Poll<Result<int>>(int poll_number, Probe&)>;

class ScriptedOp final : public marovenda::poll::Future<Result<int>> {
public:
    static inline std::atomic<int> live{0};

    ScriptedOp(std::shared_ptr<Probe> probe, Step step) : probe_(std::move(probe)), step_(std::move(step)) {
        probe_->alive = true;
        ++live;
    }
    ~ScriptedOp() override {
        probe_->alive = false;
        --live;
    }

    Poll<Result<int>> poll(Context& cx) override {
        if (++probe_->depth != 1) ADD_FAILURE() << "polled inline, from inside its own poll";
        {
            std::lock_guard lock(probe_->m);
            probe_->waker = cx.waker;
        }
        probe_->polled_object = this;
        int n = ++probe_->polls;
        struct Leave {
            Probe& p;
            ~Leave() { --p.depth; }
        } leave{*probe_};
        return step_(n, *probe_);
    }

private:
    std::shared_ptr<Probe> probe_;
    Step step_;
};

// A first-wins sink that notes whether the operation was gone when it first
// heard of a result.
class Sink final : public rt::Completion<int> {
public:
    explicit Sink(std::shared_ptr<Probe> probe = nullptr) : probe_(std::move(probe)) {}

    void complete(Result<int> r) noexcept override {
        std::lock_guard lock(m_);
        ++offers_;
        if (result_) return;
        op_alive_at_result_ = probe_ && probe_->alive;
        result_.emplace(std::move(r));
    }
    std::optional<Result<int>> result() {
        std::lock_guard lock(m_);
        return result_;
    }
    bool op_alive_at_result() {
        std::lock_guard lock(m_);
        return op_alive_at_result_;
    }
    int offers() {
        std::lock_guard lock(m_);
        return offers_;
    }

private:
    std::shared_ptr<Probe> probe_;
    std::mutex m_;
    std::optional<Result<int>> result_;
    bool op_alive_at_result_ = false;
    int offers_ = 0;
};

marovenda::poll::BoxFuture<Result<int>> op(std::shared_ptr<Probe> probe, Step step) {
    return std::make_unique<ScriptedOp>(std::move(probe), std::move(step));
}

Poll<Result<int>> stay_pending(int, Probe&) { return Pending{}; }

// ---------------------------------------------------------------------------

TEST(Runtime, StartsOnceAndIsSharedByAllThreads) {
    std::vector<rt::Runtime*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &the_runtime(); });
    for (auto& t : threads) t.join();
    for (auto* r : seen) EXPECT_EQ(r, seen[0]);
    EXPECT_EQ(seen[0]->pid(), ::getpid());
}

TEST(Runtime, ThreadsAreNamedAndExactlyTwoWorkersRun) {
    auto& r = the_runtime();
    std::set<std::string> names;
    EXPECT_EQ(max_concurrency(r, &names), 2);
    EXPECT_EQ(names, std::set<std::string>{"marovenda/worker"});

    std::mutex m;
    std::condition_variable cv;
    std::string pool_name;
    ASSERT_TRUE(r.blocking().execute([&] {
        auto name = thread_name() + (rt::is_worker_thread() ? "/worker" : "/other");
        std::lock_guard lock(m);
        pool_name = name;
        cv.notify_all();
    }));
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return !pool_name.empty(); }));
    EXPECT_EQ(pool_name, "marovenda/other");
    EXPECT_FALSE(rt::is_worker_thread());
}

TEST(Runtime, ForkedChildIsRefused) {
    the_runtime();
    pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        auto r = rt::runtime();
        bool refused = !r && r.error() == SerialError::forked() &&
                       r.error().text() == "marovenda cannot be used in a child process created by fork()";
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(rt::runtime());
}

TEST(RuntimeStart, FirstFillIsKeptAndNeverRetried) {
    rt::OnceResult<int> cell;
    std::atomic<int> fills{0};
    auto failing = [&] {
        ++fills;
        std::this_thread::sleep_for(20ms);
        return Result<int>(rt::start_error(std::system_error(EAGAIN, std::system_category())));
    };
    EXPECT_EQ(fills, 0);  // nothing happens before first use
    std::vector<std::thread> threads;
    std::vector<std::optional<Result<int>>> got(4);
    for (auto& g : got) threads.emplace_back([&] { g.emplace(cell.get(failing)); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(fills, 1);
    for (auto& g : got) {
        ASSERT_FALSE(*g);
        EXPECT_EQ(g->error(), got[0]->error());
    }
    EXPECT_EQ(cell.get(failing).error(), got[0]->error());
    EXPECT_EQ(fills, 1);
}

TEST(RuntimeStart, ErrorTexts) {
    struct Case {
        std::function<SerialError()> make;
        std::optional<int> errno_value;
        std::string text;
    };
    const Case cases[] = {
        {[] { return rt::start_error(std::system_error(EAGAIN, std::system_category())); }, EAGAIN,
         "failed to start the tokio runtime: Resource temporarily unavailable (os error 11)"},
        {[] { return rt::start_error(std::system_error(EMFILE, std::generic_category())); }, EMFILE,
         "failed to start the tokio runtime: Too many open files (os error 24)"},
        {[] { return rt::start_error(std::runtime_error("no reactor")); }, std::nullopt,
         "failed to start the tokio runtime: no reactor"},
    };
    for (const auto& c : cases) {
        auto e = c.make();
        EXPECT_EQ(e.kind(), SerialError::Kind::Os);
        EXPECT_EQ(e.os_errno(), c.errno_value);
        EXPECT_EQ(e.text(), c.text);
    }
}

// Whatever ends a task, its operation is gone (port lock free) before the sink
// hears; a task that has run always gets a result.
TEST(Tasks, OperationIsDroppedBeforeTheResultIsDelivered) {
    struct Case {
        const char* name;
        Step step;
        bool abort_after_first_poll;
        Result<int> expected;
    };
    const Case cases[] = {
        {"finishes", [](int n, Probe&) -> Poll<Result<int>> { return n < 2 ? Poll<Result<int>>(Pending{}) : Result<int>(7); },
         false, 7},
        {"fails", [](int n, Probe&) -> Poll<Result<int>> {
             if (n < 2) return Pending{};
             return Result<int>(SerialError::port_not_open());
         },
         false, SerialError::port_not_open()},
        {"faults", [](int n, Probe&) -> Poll<Result<int>> {
             if (n < 2) return Pending{};
             throw std::logic_error("bug");
         },
         false, rt::operation_panicked()},
        {"aborted while suspended", stay_pending, true, rt::operation_panicked()},
    };
    auto& r = the_runtime();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto probe = std::make_shared<Probe>();
        auto sink = std::make_shared<Sink>(probe);
        auto handle = r.spawn_operation<int>(op(probe, c.step), sink);
        ASSERT_TRUE(eventually([&] { return probe->polls == 1; }));
        if (c.abort_after_first_poll) {
            handle.abort();
        } else {
            probe->wake();
        }
        ASSERT_TRUE(eventually([&] { return sink->result().has_value(); }));
        EXPECT_FALSE(sink->op_alive_at_result());
        EXPECT_EQ(sink->result()->ok(), c.expected.ok());
        if (c.expected.ok()) {
            EXPECT_EQ(sink->result()->value(), c.expected.value());
        } else {
            EXPECT_EQ(sink->result()->error(), c.expected.error());
        }
        ASSERT_TRUE(eventually([&] { return sink.use_count() == 1; })) << "the task kept its sink";
        handle.abort();  // after the end: no effect
        EXPECT_EQ(probe->polls, c.abort_after_first_poll ? 1 : 2);
    }

    // A fault ended only its task: the runtime serves on.
    auto probe = std::make_shared<Probe>();
    auto sink = std::make_shared<Sink>(probe);
    r.spawn_operation<int>(op(probe, [](int, Probe&) -> Poll<Result<int>> { return Result<int>(1); }), sink);
    ASSERT_TRUE(eventually([&] { return sink->result().has_value(); }));
    EXPECT_EQ(sink->result()->value(), 1);
}

TEST(Tasks, AbortedBeforeItsFirstRunIsNeverPolledAndDeliversNothing) {
    auto& r = the_runtime();
    auto probe = std::make_shared<Probe>();
    auto sink = std::make_shared<Sink>(probe);
    {
        WorkerGate gate(r);
        r.spawn_operation<int>(op(probe, stay_pending), sink).abort();
    }
    ASSERT_TRUE(eventually([&] { return !probe->alive; }));
    EXPECT_EQ(probe->polls, 0);
    EXPECT_EQ(sink->offers(), 0);
    EXPECT_TRUE(eventually([&] { return sink.use_count() == 1; }));
}

TEST(Tasks, WakesAreCoalescedAndNeverPollInline) {
    auto& r = the_runtime();

    // Wakes during a poll (here from inside it) give exactly one more poll.
    auto probe = std::make_shared<Probe>();
    auto sink = std::make_shared<Sink>(probe);
    auto handle = r.spawn_operation<int>(op(probe,
                                            [](int n, Probe& p) -> Poll<Result<int>> {
                                                if (!marovenda::runtime::is_worker_thread()) p.off_worker_poll = true;
                                                if (n == 1)
                                                    for (int i = 0; i < 5; ++i) p.wake();
                                                return Pending{};
                                            }),
                                         sink);
    ASSERT_TRUE(eventually([&] { return probe->polls == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe->polls, 2);

    // Wakes while the task waits in the queue give one poll, on a worker.
    {
        WorkerGate gate(r);
        for (int i = 0; i < 10; ++i) probe->wake();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(probe->polls, 2) << "a wake polled on the waking thread";
    }
    ASSERT_TRUE(eventually([&] { return probe->polls == 3; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe->polls, 3);
    EXPECT_FALSE(probe->off_worker_poll);

    handle.abort();
    EXPECT_TRUE(eventually([&] { return !probe->alive; }));
}

TEST(Tasks, ThousandSpawnedAndAbortedFromSeveralThreadsLeaveNothing) {
    auto& r = the_runtime();
    constexpr int kThreads = 4, kEach = 250;
    std::vector<std::shared_ptr<Sink>> sinks(kThreads * kEach);
    std::vector<std::shared_ptr<Probe>> probes(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t * kEach; i < (t + 1) * kEach; ++i) {
                probes[i] = std::make_shared<Probe>();
                sinks[i] = std::make_shared<Sink>(probes[i]);
                auto handle = r.spawn_operation<int>(op(probes[i], stay_pending), sinks[i]);
                if (i % 2 == 0) {
                    // A cancel: the result is stored first, then the task aborted.
                    eventually([&] { return probes[i]->polls > 0; });
                    sinks[i]->complete(SerialError::cancelled());
                    probes[i]->wake();  // a stray wake racing the abort
                }
                handle.abort();
            }
        });
    }
    for (auto& t : threads) t.join();

    ASSERT_TRUE(eventually([&] { return ScriptedOp::live == 0; })) << ScriptedOp::live << " operations still alive";
    for (std::size_t i = 0; i < sinks.size(); ++i) {
        ASSERT_TRUE(eventually([&] { return sinks[i].use_count() == 1; })) << "task " << i << " kept its sink";
        auto got = sinks[i]->result();
        if (i % 2 == 0) {
            ASSERT_TRUE(got);
            EXPECT_EQ(got->error(), SerialError::cancelled());
            EXPECT_LE(probes[i]->polls, 2);
            continue;
        }
        if (probes[i]->polls > 0) {
            ASSERT_TRUE(got);
            EXPECT_EQ(got->error(), rt::operation_panicked());
            EXPECT_FALSE(sinks[i]->op_alive_at_result());
        } else {
            EXPECT_FALSE(got);
        }
        EXPECT_LE(probes[i]->polls, 1);
    }
}

TEST(Tasks, FirstPollRunsHereAndPendingOperationMovesUnchanged) {
    auto& r = the_runtime();
    std::thread::id caller = std::this_thread::get_id();

    {  // finishes at once: result here, operation gone
        auto probe = std::make_shared<Probe>();
        auto first = rt::first_poll<int>(r, op(probe, [](int, Probe&) -> Poll<Result<int>> { return Result<int>(3); }));
        ASSERT_TRUE(first.result);
        EXPECT_EQ(first.result->value(), 3);
        EXPECT_FALSE(first.pending);
        EXPECT_FALSE(probe->alive);
    }
    {  // faults: "the operation panicked", operation gone
        auto probe = std::make_shared<Probe>();
        auto first = rt::first_poll<int>(
            r, op(probe, [](int, Probe&) -> Poll<Result<int>> { throw std::runtime_error("bug"); }));
        ASSERT_TRUE(first.result);
        EXPECT_EQ(first.result->error(), rt::operation_panicked());
        EXPECT_FALSE(probe->alive);
    }
    {  // pending: the same object goes on in a task, where its state carries over
        auto probe = std::make_shared<Probe>();
        std::atomic<bool> first_on_caller{false}, noop_waker{false};
        auto first = rt::first_poll<int>(r, op(probe, [&](int n, Probe& p) -> Poll<Result<int>> {
                                             if (n > 1) return Result<int>(n);
                                             first_on_caller = std::this_thread::get_id() == caller;
                                             std::lock_guard lock(p.m);
                                             noop_waker = p.waker.is_noop();
                                             return Pending{};
                                         }));
        ASSERT_FALSE(first.result);
        ASSERT_TRUE(first.pending);
        EXPECT_TRUE(first_on_caller);
        EXPECT_TRUE(noop_waker);
        const void* same = dynamic_cast<ScriptedOp*>(first.pending.get());
        auto sink = std::make_shared<Sink>(probe);
        r.spawn_operation<int>(std::move(first.pending), sink);
        ASSERT_TRUE(eventually([&] { return sink->result().has_value(); }));
        EXPECT_EQ(sink->result()->value(), 2);  // its second poll, in the task
        EXPECT_EQ(probe->polled_object.load(), same);
    }
}

// Both workers block inside tasks; a third task still runs.
TEST(HandOff, BlockingOnWorkersKeepsTheRuntimeRunning) {
    auto& r = the_runtime();
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        int blocking = 0;
        bool third_ran = false;
        bool worker_inside = false;
        bool worker_after = true;
    };
    auto s = std::make_shared<Shared>();
    std::vector<std::shared_ptr<Sink>> blockers;
    for (int i = 0; i < 2; ++i) {
        auto sink = std::make_shared<Sink>();
        r.spawn_operation<int>(op(std::make_shared<Probe>(),
                                  [s](int, Probe&) -> Poll<Result<int>> {
                                      bool saw = rt::block_in_place([&] {
                                          std::unique_lock lock(s->m);
                                          s->worker_inside = s->worker_inside || rt::is_worker_thread();
                                          ++s->blocking;
                                          s->cv.notify_all();
                                          return s->cv.wait_for(lock, 10s, [&] { return s->third_ran; });
                                      });
                                      std::lock_guard lock(s->m);
                                      s->worker_after = s->worker_after && rt::is_worker_thread();
                                      return Result<int>(saw ? 1 : 0);
                                  }),
                               sink);
        blockers.push_back(sink);
    }
    {
        std::unique_lock lock(s->m);
        ASSERT_TRUE(s->cv.wait_for(lock, 10s, [&] { return s->blocking == 2; }));
    }
    auto third = std::make_shared<Sink>();
    r.spawn_operation<int>(op(std::make_shared<Probe>(),
                              [s](int, Probe&) -> Poll<Result<int>> {
                                  std::lock_guard lock(s->m);
                                  s->third_ran = true;
                                  s->cv.notify_all();
                                  return Result<int>(3);
                              }),
                           third);
    for (auto& b : blockers) {
        ASSERT_TRUE(eventually([&] { return b->result().has_value(); }, 15s));
        EXPECT_EQ(b->result()->value(), 1) << "a blocked worker stalled the runtime";
    }
    EXPECT_FALSE(s->worker_inside);
    EXPECT_TRUE(s->worker_after);

    // The stand-ins retire: two threads schedule again.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(max_concurrency(r), 2);

    // Off the runtime it only runs the call.
    EXPECT_EQ(rt::block_in_place([] { return rt::is_worker_thread() ? -1 : 5; }), 5);
}

}  // namespace
