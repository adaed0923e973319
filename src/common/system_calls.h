#pragma once
// The system calls of the programs' library code, called through one named
// table. Each entry starts as the real call; a test replaces an entry to
// make a call fail where no file system at hand does (no hard links, a disk
// that fills in the middle of a write), to run the waits of retried
// operations on a fake clock, or to change a file at a chosen moment.
//
// This is process-wide mutable state, kept for tests: the programs never
// change it. A test that replaces an entry puts it back (the tests'
// process-state listener fails one that does not). Not synchronised:
// replace entries only while no other thread calls them.
#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

struct SystemCalls {
    // The calls of the same names; open and openat always receive a mode.
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int folder, const char* path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
    ssize_t (*write)(int fd, const void* data, size_t count);
    ssize_t (*pwrite)(int fd, const void* data, size_t count, off_t offset);
    int (*stat)(const char* path, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    int (*fstat)(int fd, struct stat* st);
    int (*fstatat)(int folder, const char* path, struct stat* st, int flags);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*link)(const char* from, const char* to);
    // The pause and the clock of every "ten tries, one second apart" wait
    // (region locks, the mapped files' helpers, the configuration file).
    void (*sleepMilliseconds)(uint32_t milliseconds);
    int64_t (*monotonicMilliseconds)();
    // Not a call: told when a database reader has opened (or mapped) its
    // files and taken their sizes, before it hands out any result, with the
    // database's name. Default: nothing.
    void (*databaseOpened)(const char* name);
};
SystemCalls& systemCalls();
