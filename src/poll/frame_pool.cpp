#include "poll/frame_pool.hpp"

#include <pthread.h>

#include <new>

namespace marovenda::poll {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers see every frame's own allocation and release.
constexpr bool kRecycle = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kRecycle = false;
#else
constexpr bool kRecycle = true;
#endif
#else
constexpr bool kRecycle = true;
#endif

constexpr std::size_t kGrain = 64;
constexpr std::size_t kClasses = 16;  // frames up to 1 KiB
constexpr unsigned kKept = 32;        // per class and thread

struct Block {
    Block* next;
};

// Plain thread-local data, so that each access is one offset from the
// thread pointer: a thread_local with a destructor goes through a wrapper
// call on every access. The lists are emptied at thread exit by a key
// destructor, registered by the thread's first kept frame.
struct Lists {
    Block* head[kClasses];
    unsigned count[kClasses];
    bool registered;
    bool gone;  // emptied: later frees go straight back to the heap
};

[[gnu::tls_model("initial-exec")]] thread_local Lists t_lists;

void empty_lists(void* p) noexcept {
    auto* lists = static_cast<Lists*>(p);
    lists->gone = true;
    for (std::size_t c = 0; c < kClasses; ++c)
        while (Block* b = lists->head[c]) {
            lists->head[c] = b->next;
            ::operator delete(b);
        }
}

// The key whose destructor empties a thread's lists; null when none could be
// made, and frames are then not kept.
const pthread_key_t* exit_key() noexcept {
    static pthread_key_t key;
    static const bool made = pthread_key_create(&key, empty_lists) == 0;
    return made ? &key : nullptr;
}

std::size_t class_of(std::size_t size) { return (size + kGrain - 1) / kGrain - 1; }

}  // namespace

void* frame_alloc(std::size_t size) {
    if (kRecycle && !t_lists.gone) {
        const std::size_t c = class_of(size);
        if (c < kClasses) {
            if (Block* b = t_lists.head[c]) {
                t_lists.head[c] = b->next;
                --t_lists.count[c];
                return b;
            }
            return ::operator new((c + 1) * kGrain);
        }
    }
    return ::operator new(size);
}

void frame_free(void* p, std::size_t size) noexcept {
    if (kRecycle && !t_lists.gone) {
        const std::size_t c = class_of(size);
        if (c < kClasses) {
            if (!t_lists.registered) {
                const pthread_key_t* key = exit_key();
                if (!key || pthread_setspecific(*key, &t_lists) != 0) {
                    ::operator delete(p);
                    return;
                }
                t_lists.registered = true;
            }
            if (t_lists.count[c] < kKept) {
                auto* b = static_cast<Block*>(p);
                b->next = t_lists.head[c];
                t_lists.head[c] = b;
                ++t_lists.count[c];
                return;
            }
            ::operator delete(p);
            return;
        }
    }
    ::operator delete(p);
}

}  // namespace marovenda::poll
