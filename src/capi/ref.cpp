#include "capi/ref.hpp"

#include <pthread.h>

#include <atomic>
#include <new>
#include <mutex>
#include <vector>

#include "capi/thread.hpp"

namespace marovenda::py {

namespace {

// Every detach ends with a look at `any`; on a line of its own it stays in
// every core's cache instead of bouncing with whatever the heap puts beside it.
struct Deferred {
    alignas(64) std::atomic<bool> any{false};
    alignas(64) std::mutex mu;
    std::vector<PyObject*> objects;
};

Deferred& deferred();

// Leaked on purpose: it is used by threads that outlive static destruction.
Deferred* make_deferred() {
    auto* d = new Deferred;
    // A runtime thread may hold the lock at fork(); the child has no such
    // thread, so it starts with a fresh lock.
    ::pthread_atfork(nullptr, nullptr, [] { new (&deferred().mu) std::mutex(); });
    return d;
}

Deferred& deferred() {
    static Deferred* d = make_deferred();
    return *d;
}

}  // namespace

void decref(PyObject* o) noexcept {
    if (attached()) {
        Py_DECREF(o);
        return;
    }
    auto& d = deferred();
    std::lock_guard lock(d.mu);
    d.objects.push_back(o);
    d.any.store(true, std::memory_order_release);
}

void drain_deferred() noexcept {
    auto& d = deferred();
    if (!d.any.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(d.mu);
        objects.swap(d.objects);
        d.any.store(false, std::memory_order_relaxed);
    }
    // Released outside the lock: a finaliser may run Python code that ends
    // up here again.
    for (PyObject* o : objects) Py_DECREF(o);
}

Attached::Attached() noexcept {
    if (!Py_IsInitialized() || Py_IsFinalizing()) return;
    state_ = PyGILState_Ensure();
    ok_ = true;
    drain_deferred();
}

Attached::~Attached() {
    if (ok_) PyGILState_Release(state_);
}

}  // namespace marovenda::py
