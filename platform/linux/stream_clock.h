// The clock of an output stream: which instant on the steady clock each frame it
// renders is heard at. Frame n is heard at anchor + n / rate + latency, where the
// anchor comes from the callbacks' own times. Callbacks are only ever woken late, so
// the earliest one (relative to its frames) is the truest: an earlier callback pulls
// the anchor back at once, and over each window of a quarter second the anchor moves
// on by the least lateness seen (a sound card whose clock runs slow, a period lost).
// A callback far later than its frames were due (the output stalled) anchors the clock
// anew there, so nothing waits behind the stall longer than it must. Used by the audio
// thread alone.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

class StreamClock {
 public:
  using Clock = std::chrono::steady_clock;

  // A new stream of `rate` frames per second, `periodFrames` a callback, heard
  // `latencyFrames` after they are rendered; nothing rendered yet.
  void start(unsigned int rate, unsigned int periodFrames, unsigned int latencyFrames);
  void setLatency(unsigned int latencyFrames) { latencyFrames_ = latencyFrames; }

  // For the callback running at now that is about to render the next frames: the
  // instant its first frame is heard.
  Clock::time_point nextFrameHeardAt(Clock::time_point now);
  // The callback rendered this many frames.
  void rendered(unsigned int frames) { framesRendered_ += frames; }

  // How often the clock was anchored since start(): the first callback, and each
  // callback after a stall.
  uint64_t anchorings() const { return anchorings_; }

 private:
  Clock::duration framesTime(uint64_t frames) const;
  void anchor(Clock::time_point now);

  unsigned int rate_ = 0;
  unsigned int latencyFrames_ = 0;
  Clock::duration lateLimit_{};
  uint64_t windowFrames_ = 0;
  uint64_t framesRendered_ = 0;
  uint64_t anchorings_ = 0;
  Clock::time_point anchor_;            // when frame 0 was rendered
  Clock::duration earliestInWindow_{};  // least lateness of the callbacks this window
  uint64_t windowEnd_ = 0;              // frame at which the window closes
};

}  // namespace platform
