// A mutex that spins briefly before it sleeps (glibc's adaptive kind). For
// locks held only for a short poll but taken from two threads at full rate
// (the reader and the writer of one port): with a plain mutex every collision
// costs a futex sleep and a wake, two system calls and a context switch.
#pragma once

#include <pthread.h>

namespace marovenda::poll {

class AdaptiveMutex {
public:
    AdaptiveMutex() noexcept {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&m_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~AdaptiveMutex() { pthread_mutex_destroy(&m_); }
    AdaptiveMutex(const AdaptiveMutex&) = delete;
    AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;

    void lock() noexcept { pthread_mutex_lock(&m_); }
    bool try_lock() noexcept { return pthread_mutex_trylock(&m_) == 0; }
    void unlock() noexcept { pthread_mutex_unlock(&m_); }

private:
    pthread_mutex_t m_;
};

}  // namespace marovenda::poll
