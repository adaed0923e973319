#pragma once
// Path and descriptor helpers shared by the writers of logs, mail files and
// data files (a whole buffer is written by fileWriteAll, file_utils.h).
// Descriptors are plain ints owned by the caller; nothing here keeps state.
#include <cstddef>
#include <string>

// The name under which a configured path is opened: configurations written
// for the server's other platform may separate folders with "\", which
// becomes "/". Messages keep the path as written; only the system call sees
// this form.
std::string osPath(const std::string& path);
inline std::string osPath(const char* path) { return osPath(std::string(path ? path : "")); }

// A path as messages name it: a relative one is prefixed with the working
// folder it was resolved against, so that on a host of several
// installations the administrator can tell which file was meant
// ("/srv/tarvex/cgi/../logs/errorlog.txt"). The rest is kept as written;
// an empty path, an absolute one, or one when the working folder cannot be
// had comes back unchanged.
std::string pathInMessages(const std::string& path);

// A CGI program's standard streams are its reply: a descriptor that landed
// on 0, 1 or 2 is moved to the lowest free number above 2 (close-on-exec)
// and the original closed. Any other value comes back as it is; -1 when the
// move fails, with errno kept from the failed call.
int moveOffStandardStreams(int fd);

// Asks the system for huge pages under the whole 2 MiB pages of a large
// array about to be filled: filling hundreds of megabytes otherwise costs a
// page fault every 4 KiB. Only advice; nothing changes when it is refused.
void preferHugePages(void* data, std::size_t bytes);
