#include "pal/mutex.h"

#include "pal/exceptions.h"
#include "pal/last_error.h"

namespace NARROW_CHAR_PAL {

// Report positions of this module ("mutex"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineInitFailed = 37;

Mutex::Mutex() {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0) rc = pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        setLastError(static_cast<uint32_t>(rc));
        throw WindowsError(static_cast<uint32_t>(rc), kLineInitFailed, "mutex");
    }
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

void Mutex::lock() { pthread_mutex_lock(&mutex_); }

void Mutex::unlock() { pthread_mutex_unlock(&mutex_); }

}  // namespace NARROW_CHAR_PAL
