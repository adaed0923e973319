#pragma once
// The process-wide Options and Cluster sections (read by the control file,
// the job manager and the database files). What the core services need of
// them (log paths, mail, the group of new files) is handed down to their
// settings (common/reporter_platform.h) at every change made here. Built
// with their defaults on first use and never destroyed, so that a report
// made from inside exit() still finds them. Readers take no lock; only the
// publication below locks.
#include <string>
#include <utility>

#include "config/bv_clusteroptions.h"
#include "config/bv_options.h"

namespace brenvik {

const bv_options& globalOptions();
const bv_clusteroptions& globalCluster();

// The start of a run: the allocator switch (nothing to do here), then the
// reset below.
void initProcess();

// The reset at the start of a run: Options, then Cluster, back to their
// defaults (initProcess calls it).
void resetGlobalOptions();

// Publishes a freshly read Options and Cluster section as the process-wide
// copies, under the global critical section. Returns the mode pair:
// ("standalone", "cluster") when cluster mode was switched on,
// ("cluster", "standalone") when it was switched off, two empty texts when
// the Cluster Enabled flag did not change.
std::pair<std::string, std::string> switchStandaloneCluster(const bv_options& options,
                                                            const bv_clusteroptions& cluster);

}  // namespace brenvik
