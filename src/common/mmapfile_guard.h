#pragma once
// The SIGBUS guard of read-only mappings: a view registered here survives
// its file being cut short while mapped (the lost pages read as zero bytes
// instead of killing the process). Serves CMmapFile's views and mappings
// made elsewhere alike (the iterator maps the files of a database in file
// mode itself).
#include <cstdint>

namespace mmap_guard {

// Guards the mapping while it is mapped. False when it cannot be guarded
// (the guard's table of 64 views is full, or the handler could not be
// installed). A SIGBUS outside the guarded views goes to the handler that
// was installed before the guard.
bool guardReadOnlyMapping(const char* start, uint64_t length);
void unguardReadOnlyMapping(const char* start);

// How many guarded views of this process lost pages because their file was
// cut short while mapped. Only whole pages past the new end fault: the rest
// of the last page reads as zeros without a count, so a reader also
// compares the file's size with what it read.
unsigned lostViewCount();

}  // namespace mmap_guard
