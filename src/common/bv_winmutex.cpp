#include "common/bv_winmutex.h"

#include <cerrno>

#include "pal/last_error.h"

void bv_winmutex::create() {
    if (valid_) return;
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(rc));
        return;
    }
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) rc = pthread_mutex_init(&mutex_, &attr);
    if (rc == 0)
        valid_ = true;
    else
        NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(rc));
    pthread_mutexattr_destroy(&attr);
}

void bv_winmutex::close() {
    if (valid_) pthread_mutex_destroy(&mutex_);
    valid_ = false;
}

int bv_winmutex::lock() {
    int rc = valid_ ? pthread_mutex_lock(&mutex_) : EINVAL;
    if (rc != 0) {
        NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(rc));
        throw static_cast<unsigned long>(0xFFFFFFFFul);
    }
    return 0;
}

void bv_winmutex::unlock() {
    if (valid_) pthread_mutex_unlock(&mutex_);
}

bv_winmutex& getGlobalMutex() {
    static bv_winmutex* mutex = new bv_winmutex();
    return *mutex;
}
