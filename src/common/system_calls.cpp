#include "common/system_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/process_startup.h"

namespace {

// Wrappers where the library's declaration is variadic or may be a macro.
int openCall(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int openatCall(int folder, const char* path, int flags, mode_t mode) { return ::openat(folder, path, flags, mode); }
int statCall(const char* path, struct stat* st) { return ::stat(path, st); }
int lstatCall(const char* path, struct stat* st) { return ::lstat(path, st); }
int fstatCall(int fd, struct stat* st) { return ::fstat(fd, st); }
int fstatatCall(int folder, const char* path, struct stat* st, int flags) { return ::fstatat(folder, path, st, flags); }
void noNotice(const char*) {}

}  // namespace

SystemCalls& systemCalls() {
    static SystemCalls calls{
        &openCall, &openatCall, &::read, &::pread, &::write, &::pwrite, &statCall, &lstatCall, &fstatCall,
        &fstatatCall, &::ftruncate, &::fsync, &::link, &sleepMilliseconds, &monotonicMilliseconds, &noNotice,
    };
    return calls;
}
