// What the learner would hear, as a test measures it: every captured frame with its
// time on std::chrono::steady_clock and its level (the largest absolute sample over
// the channels), the last minute kept, and the analysis the tests ask for. Written
// once here; a capture of a rig feeds it: TestJackCapture (the JACK graph) or
// TestMonitorCapture (a PipeWire sink's monitor). The accessors may be called from any
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class TestAudioCapture {
 public:
  using Clock = std::chrono::steady_clock;

  // A stretch of sound: its first and last frame above the threshold, and the frames
  // from one to the other. The frame count is the sound's length in audio time, which
  // holds even when a starved server runs its cycles late.
  struct Sound {
    Clock::time_point start;
    Clock::time_point end;
    uint64_t frames;
  };

  virtual ~TestAudioCapture();
  TestAudioCapture(const TestAudioCapture&) = delete;
  TestAudioCapture& operator=(const TestAudioCapture&) = delete;

  // Starts capturing; false when the sound system cannot be reached.
  virtual bool start() = 0;
  void clear();  // forgets what was captured so far

  // The sounds captured: stretches where the level exceeds threshold (a fraction of
  // full scale), separated by at least minSilence below it. The start of the capture
  // (or of a clear()) counts as quiet.
  std::vector<Sound> sounds(float threshold, std::chrono::milliseconds minSilence) const;
  // The starts of those sounds.
  std::vector<Clock::time_point> onsets(float threshold, std::chrono::milliseconds minSilence) const;
  // Starts of sounds that may overlap (a click over a word's tail, a note over the
  // decay of the last): the first frame where the level is above threshold and at
  // least `factor` times the loudest level of the 30 ms of audio before it, at least
  // minGap after the last such start. The start of the capture counts as quiet.
  std::vector<Clock::time_point> rises(float threshold, float factor,
                                       std::chrono::milliseconds minGap) const;
  // The largest level captured, 0 to 1.
  float peak() const;

  uint32_t sampleRate() const { return rate_; }
  // Frames lost because the reader fell behind the sound system; a capture that lost
  // none heard everything.
  virtual uint64_t droppedFrames() const = 0;

 protected:
  struct Frame {
    int64_t time;  // steady clock, ns since its epoch
    float level;   // largest absolute sample over the channels
  };

  TestAudioCapture() = default;
  // Brings frames_ up to date from the feed; called with mutex_ held before every
  // analysis and clear.
  virtual void collect() const {}
  // Drops frames past the last minute; mutex_ held.
  void keepLastMinute() const;

  uint32_t rate_ = 0;  // set once by start(), before any frame
  mutable std::mutex mutex_;
  mutable std::deque<Frame> frames_;  // guarded by mutex_, in capture order
};
