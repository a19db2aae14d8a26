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
constexpr std::size_t kClasses = 64;  // frames up to 4 KiB
constexpr unsigned kKept = 16;        // per class and thread

struct Block {
    Block* next;
};

// A thread's lists live on the heap behind one pointer of thread-local
// storage: plain data with the initial-exec model is one offset from the
// thread pointer (a thread_local with a destructor pays a wrapper call on
// every access), and one pointer keeps the module's share of the static TLS
// surplus that a dlopen'd library draws on small. Made by the thread's first
// kept frame, freed at thread exit by a key destructor; after that the
// pointer is kGone and frames go straight back to the heap.
struct Lists {
    Block* head[kClasses] = {};
    unsigned count[kClasses] = {};
};

Lists g_gone_marker;
Lists* const kGone = &g_gone_marker;  // never used as lists

[[gnu::tls_model("initial-exec")]] thread_local Lists* t_lists = nullptr;

void free_lists(void* p) noexcept {
    auto* lists = static_cast<Lists*>(p);
    t_lists = kGone;
    for (std::size_t c = 0; c < kClasses; ++c)
        while (Block* b = lists->head[c]) {
            lists->head[c] = b->next;
            ::operator delete(b);
        }
    delete lists;
}

// The key whose destructor frees a thread's lists; null when none could be
// made, and frames are then not kept.
const pthread_key_t* exit_key() noexcept {
    static pthread_key_t key;
    static const bool made = pthread_key_create(&key, free_lists) == 0;
    return made ? &key : nullptr;
}

// This thread's lists, made on first need; null when they cannot be kept.
Lists* own_lists() noexcept {
    if (t_lists) return t_lists == kGone ? nullptr : t_lists;
    const pthread_key_t* key = exit_key();
    if (!key) return nullptr;
    auto* made = new (std::nothrow) Lists;
    if (!made) return nullptr;
    if (pthread_setspecific(*key, made) != 0) {
        delete made;
        return nullptr;
    }
    return t_lists = made;
}

std::size_t class_of(std::size_t size) { return (size + kGrain - 1) / kGrain - 1; }

}  // namespace

void* frame_alloc(std::size_t size) {
    if (kRecycle) {
        const std::size_t c = class_of(size);
        if (c < kClasses) {
            Lists* l = t_lists;
            if (l && l != kGone) {
                if (Block* b = l->head[c]) {
                    l->head[c] = b->next;
                    --l->count[c];
                    return b;
                }
            }
            return ::operator new((c + 1) * kGrain);
        }
    }
    return ::operator new(size);
}

void frame_free(void* p, std::size_t size) noexcept {
    if (kRecycle) {
        const std::size_t c = class_of(size);
        Lists* l = c < kClasses ? own_lists() : nullptr;
        if (l && l->count[c] < kKept) {
            auto* b = static_cast<Block*>(p);
            b->next = l->head[c];
            l->head[c] = b;
            ++l->count[c];
            return;
        }
    }
    ::operator delete(p);
}

}  // namespace marovenda::poll
