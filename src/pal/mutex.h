#pragma once
// A process-local lock that the owning thread may take again (recursive, like
// the critical sections the server code was written against). Not copyable.
// Meets BasicLockable, so std::lock_guard works as well as MutexLock.
#include <pthread.h>

namespace NARROW_CHAR_PAL {

class Mutex {
public:
    // Throws WindowsError (line 37, file "mutex") when the lock cannot be set up.
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

private:
    pthread_mutex_t mutex_;
};

// Holds a Mutex from construction to the end of the scope.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace NARROW_CHAR_PAL
