#pragma once
// `vesprec --check`: reads the configuration as a start-up would, then every
// key of every site section (schedule, settings and line settings, also of
// the sections the start-up drops), looks at the port and the files the
// configuration names, and lists every problem with the program's own texts,
// section by section in file order; then the next due time of each site
// that has no problem. Warnings (a comment after a value, a port not there
// yet) are listed too but are no problem. Writes nothing.

#include <functional>
#include <ostream>
#include <string>

#include "app/check_probe.h"
#include "base/clock.h"

namespace vr {

// Returns the exit status: 0 when the configuration is usable and no site
// has a problem, 1 otherwise. Problems go to out as "SITE: TEXT" (TEXT alone
// for the general section); hints for a person go to err.
struct CheckProbes {
  std::function<ProbeResult(const std::string& com)> port = ProbePort;
  std::function<ProbeResult(const std::string& path)> appendableFile = ProbeAppendableFile;
};

int RunConfigurationCheck(const std::string& programDir, std::ostream& out, std::ostream& err,
                          const Clock& clock, const CheckProbes& probes = {});

}  // namespace vr
