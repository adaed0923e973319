#pragma once
// How the mapped-file code reports: through the process-wide reporter with
// job number -1 and module "mmapfile".
#include <string>

#include "common/error_reporter.h"
#include "pal/system_text.h"

namespace mmap_report {

template <class... Args>
inline void say(int number, int line, const Args&... args) {
    errorReporter.report(number, -1, line, "mmapfile", args...);
}

inline std::string systemText(int code) { return getSystemErrorText(static_cast<uint32_t>(code)); }

// Group access for a file the owner registers (not yet available on this
// platform layer: the file keeps the mode it has).
inline void grantAccess(const std::string& path) { (void)path; }

}  // namespace mmap_report
