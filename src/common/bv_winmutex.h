#pragma once
// An unnamed process-local lock that the holding thread may take again, and
// the one library mutex around every operation of the library error objects.
#include <pthread.h>

class bv_winmutex {
public:
    bv_winmutex() { create(); }
    ~bv_winmutex() { close(); }
    bv_winmutex(const bv_winmutex&) = delete;
    bv_winmutex& operator=(const bv_winmutex&) = delete;

    // A failure leaves no lock; later locks then fail.
    void create();
    void close();
    // Waits without time-out and returns 0; throws unsigned long 0xFFFFFFFF
    // when the lock cannot be taken.
    int lock();
    void unlock();
    bool isValid() const { return valid_; }

private:
    pthread_mutex_t mutex_;
    bool valid_ = false;
};

// Holds a bv_winmutex for the scope.
class bv_winmutex_lock {
public:
    explicit bv_winmutex_lock(bv_winmutex& m) : m_(m) { m_.lock(); }
    ~bv_winmutex_lock() { m_.unlock(); }
    bv_winmutex_lock(const bv_winmutex_lock&) = delete;
    bv_winmutex_lock& operator=(const bv_winmutex_lock&) = delete;

private:
    bv_winmutex& m_;
};

// The library mutex: created on first use, never destroyed.
bv_winmutex& getGlobalMutex();
