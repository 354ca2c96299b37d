#pragma once
// `vesprec --check`: reads the configuration as a start-up would, then every
// site's settings and line settings, and lists every problem with the
// program's own texts, then the next due time of each site that has no
// problem. Writes nothing.

#include <ostream>
#include <string>

#include "base/clock.h"

namespace vr {

// Returns the exit status: 0 when the configuration is usable and no site
// has a problem, 1 otherwise. Problems go to out as "SITE: TEXT" (TEXT alone
// for the general section); hints for a person go to err.
int RunConfigurationCheck(const std::string& programDir, std::ostream& out, std::ostream& err,
                          const Clock& clock);

}  // namespace vr
