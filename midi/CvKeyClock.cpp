#include "midi/CvKeyClock.h"

#include <algorithm>

CvKeyClock::Clock::time_point CvKeyClock::arrived(double sinceLast, Clock::time_point now) {
  bool restart = restart_.exchange(false);
  // A delta that is no number, or so large it would not fit, is as stale as one below 0.
  if (restart || !(sinceLast >= 0) || sinceLast > 1e6) {
    last_ = now;
    return now;
  }
  auto rebuilt = last_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(sinceLast * kStretch));
  last_ = rebuilt < now - kStale ? now : std::min(rebuilt, now);
  return last_;
}
