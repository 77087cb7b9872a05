#include "platform/linux/stream_clock.h"

#include <algorithm>

namespace platform {

namespace {

// A callback later than this (and than most of a period) after its frames were due
// means frames went unheard: the clock is anchored anew.
const std::chrono::microseconds kLateCallback{2000};
const std::chrono::milliseconds kAnchorWindow{250};

}  // namespace

void StreamClock::start(unsigned int rate, unsigned int periodFrames, unsigned int latencyFrames) {
  rate_ = rate;
  latencyFrames_ = latencyFrames;
  lateLimit_ = std::max<Clock::duration>(kLateCallback, framesTime(periodFrames) * 3 / 4);
  windowFrames_ = static_cast<uint64_t>(std::chrono::duration<double>(kAnchorWindow).count() * rate);
  framesRendered_ = 0;
  anchorings_ = 0;
}

StreamClock::Clock::duration StreamClock::framesTime(uint64_t frames) const {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / rate_));
}

void StreamClock::anchor(Clock::time_point now) {
  anchor_ = now - framesTime(framesRendered_);
  ++anchorings_;
  earliestInWindow_ = Clock::duration::max();
  windowEnd_ = framesRendered_ + windowFrames_;
}

StreamClock::Clock::time_point StreamClock::nextFrameHeardAt(Clock::time_point now) {
  const Clock::duration late = now - (anchor_ + framesTime(framesRendered_));
  if (anchorings_ == 0 || late > lateLimit_) {
    anchor(now);
  } else if (late < Clock::duration::zero()) {
    anchor_ += late;  // the truest callback yet
  } else {
    earliestInWindow_ = std::min(earliestInWindow_, late);
    if (framesRendered_ >= windowEnd_) {
      anchor_ += earliestInWindow_;
      earliestInWindow_ = Clock::duration::max();
      windowEnd_ = framesRendered_ + windowFrames_;
    }
  }
  return anchor_ + framesTime(framesRendered_ + latencyFrames_);
}

}  // namespace platform
