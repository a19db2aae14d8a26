#include "poll/frame_pool.hpp"

#include <pthread.h>

#include <new>

// The sanitizer of this build: g++ says so with macros, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define MAROVENDA_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define MAROVENDA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAROVENDA_ASAN 1
#elif __has_feature(thread_sanitizer)
#define MAROVENDA_TSAN 1
#endif
#endif

#ifdef MAROVENDA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace marovenda::poll {

namespace {

#ifdef MAROVENDA_TSAN
constexpr bool kRecycle = false;
#else
constexpr bool kRecycle = true;
#endif

// A kept block is poisoned whole; one handed out is unpoisoned up to the
// size asked for, and the rest of its size class stays poisoned. The kept
// blocks are listed outside themselves, where the leak checker sees them.
#ifdef MAROVENDA_ASAN
void poison(void* p, std::size_t n) noexcept { ASAN_POISON_MEMORY_REGION(p, n); }
void unpoison(void* p, std::size_t n) noexcept { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
void poison(void*, std::size_t) noexcept {}
void unpoison(void*, std::size_t) noexcept {}
#endif

constexpr std::size_t kGrain = 64;
constexpr std::size_t kClasses = 64;  // frames up to 4 KiB
constexpr unsigned kKept = 16;        // per class and thread

// A thread's kept blocks live on the heap behind one pointer of thread-local
// storage: plain data with the initial-exec model is one offset from the
// thread pointer (a thread_local with a destructor pays a wrapper call on
// every access), and one pointer keeps the module's share of the static TLS
// surplus that a dlopen'd library draws on small. Made by the thread's first
// kept frame, freed at thread exit by a key destructor; after that the
// pointer is kGone and frames go straight back to the heap.
struct Lists {
    void* kept[kClasses][kKept];  // a stack per class: the last freed is reused first
    unsigned count[kClasses] = {};
};

Lists g_gone_marker;
Lists* const kGone = &g_gone_marker;  // never used as lists

std::size_t block_size(std::size_t c) { return (c + 1) * kGrain; }

[[gnu::tls_model("initial-exec")]] thread_local Lists* t_lists = nullptr;

void free_lists(void* p) noexcept {
    auto* lists = static_cast<Lists*>(p);
    t_lists = kGone;
    for (std::size_t c = 0; c < kClasses; ++c)
        while (lists->count[c] > 0) {
            void* b = lists->kept[c][--lists->count[c]];
            unpoison(b, block_size(c));
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
            if (l && l != kGone && l->count[c] > 0) {
                void* b = l->kept[c][--l->count[c]];
                unpoison(b, size);
                return b;
            }
            void* p = ::operator new(block_size(c));
            poison(static_cast<char*>(p) + size, block_size(c) - size);
            return p;
        }
    }
    return ::operator new(size);
}

void frame_free(void* p, std::size_t size) noexcept {
    if (kRecycle) {
        const std::size_t c = class_of(size);
        if (c < kClasses) {
            Lists* l = own_lists();
            if (l && l->count[c] < kKept) {
                poison(p, block_size(c));
                l->kept[c][l->count[c]++] = p;
                return;
            }
            unpoison(p, block_size(c));
        }
    }
    ::operator delete(p);
}

}  // namespace marovenda::poll
