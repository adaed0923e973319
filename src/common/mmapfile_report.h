#pragma once
// What the sources of the mapped-file code share: how they report (through
// the process-wide reporter with job number -1 and module "mmapfile") and
// the canonical path of a file.
#include <string>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "pal/system_text.h"

namespace mmap_report {

template <class... Args>
inline void say(int number, int line, const Args&... args) {
    errorReporter.report(number, -1, line, "mmapfile", args...);
}

// The file as the messages name it (relative paths with the working folder).
inline std::string shown(const std::string& path) { return pathInMessages(path); }

inline std::string systemText(int code) { return getSystemErrorText(static_cast<uint32_t>(code)); }

// The configured group gets access to a file the owner registers.
inline void grantAccess(int fd, const std::string& path) { setFileAccess(fd, path.c_str(), false); }

// The canonical path of an existing file (links resolved); empty when it
// cannot be had.
std::string canonicalPath(const std::string& path);

}  // namespace mmap_report
