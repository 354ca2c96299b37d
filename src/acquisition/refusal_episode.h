#pragma once
// Starts of one site that its device refuses at once (a call-log library
// that will not open the link, an alternative download that cannot serve
// the site), one after another. A site that is due again at once would be
// tried again at full speed, so the worker waits before each new try: 1 s
// after the first refusal, twice as long after each further one, at most
// 30 s. Only the first refusal of such a run is reported (and a change of
// its reason), so a lasting fault does not grow the log without end.
//
// A try that comes later than its pause (the site was off meanwhile, or
// not due until its next time) begins a new run, with its own report.

#include <algorithm>
#include <cstdint>
#include <string>

namespace vr {

class RefusalEpisode {
 public:
  static constexpr std::uint32_t kFirstPauseMs = 1000;
  static constexpr std::uint32_t kLastPauseMs = 30000;

  // How long a try of `site` starting at `nowMs` must still wait.
  std::uint64_t WaitBeforeTryMs(const std::string& site, std::uint64_t nowMs) const {
    if (pauseMs_ == 0 || site != site_ || nowMs >= retryAtMs_) return 0;
    return retryAtMs_ - nowMs;
  }

  bool Running(const std::string& site) const { return pauseMs_ != 0 && site == site_; }

  // A try of `site` that began at `tryStartMs` was refused at `nowMs` for
  // `reason`. True when the refusal is to be reported.
  bool Refused(const std::string& site, std::int64_t reason, std::uint64_t tryStartMs,
               std::uint64_t nowMs) {
    const bool continues =
        Running(site) && tryStartMs <= retryAtMs_ + static_cast<std::uint64_t>(pauseMs_);
    const bool report = !continues || reason != reason_;
    pauseMs_ = continues ? std::min(pauseMs_ * 2, kLastPauseMs) : kFirstPauseMs;
    site_ = site;
    reason_ = reason;
    retryAtMs_ = nowMs + pauseMs_;
    return report;
  }

  // The site's device took the start: the run of refusals is over. True
  // when there was one (worth a word that the site is served again).
  bool Accepted(const std::string& site) {
    if (!Running(site)) return false;
    pauseMs_ = 0;
    return true;
  }

  std::uint32_t PauseMs() const { return pauseMs_; }

 private:
  std::string site_;
  std::int64_t reason_ = 0;
  std::uint32_t pauseMs_ = 0;  // 0: no run of refusals
  std::uint64_t retryAtMs_ = 0;
};

}  // namespace vr
