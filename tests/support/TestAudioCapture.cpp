#include "tests/support/TestAudioCapture.h"

#include <algorithm>

namespace {

using std::chrono::nanoseconds;

const size_t kKeptSeconds = 60;
const int kRiseLookBackMs = 30;

TestAudioCapture::Clock::time_point instant(int64_t ns) {
  return TestAudioCapture::Clock::time_point(
      std::chrono::duration_cast<TestAudioCapture::Clock::duration>(nanoseconds(ns)));
}

}  // namespace

TestAudioCapture::~TestAudioCapture() = default;

void TestAudioCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  collect();
  frames_.clear();
}

std::vector<TestAudioCapture::Sound> TestAudioCapture::sounds(
    float threshold, std::chrono::milliseconds minSilence) const {
  const int64_t silence = std::chrono::duration_cast<nanoseconds>(minSilence).count();
  std::vector<Sound> found;
  // Whether quiet frames followed the last loud one, and since when: two loud frames
  // that a late cycle set apart in time are no silence.
  bool quiet = true;
  int64_t quietSince = 0;
  uint64_t first = 0;  // where the last sound began in frames_
  std::lock_guard<std::mutex> lock(mutex_);
  collect();
  for (uint64_t i = 0; i < frames_.size(); ++i) {
    const Frame& frame = frames_[i];
    if (frame.level <= threshold) {
      if (!quiet) quietSince = frame.time;
      quiet = true;
      continue;
    }
    if (found.empty() || (quiet && frame.time - quietSince >= silence)) {
      found.push_back(Sound{instant(frame.time), instant(frame.time), 1});
      first = i;
    } else {
      found.back().end = instant(frame.time);
      found.back().frames = i - first + 1;
    }
    quiet = false;
  }
  return found;
}

std::vector<TestAudioCapture::Clock::time_point> TestAudioCapture::onsets(
    float threshold, std::chrono::milliseconds minSilence) const {
  std::vector<Clock::time_point> starts;
  for (const Sound& sound : sounds(threshold, minSilence)) starts.push_back(sound.start);
  return starts;
}

std::vector<TestAudioCapture::Clock::time_point> TestAudioCapture::rises(
    float threshold, float factor, std::chrono::milliseconds minGap) const {
  const int64_t gap = std::chrono::duration_cast<nanoseconds>(minGap).count();
  std::vector<Clock::time_point> starts;
  int64_t lastStart = 0;
  // The loudest level of the look-back window before the frame at hand: a deque of
  // frame indices whose levels fall from front to back (the sliding maximum).
  std::deque<size_t> loudest;
  size_t windowStart = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  collect();
  // In frames, not clock time: a cycle that ran late is no silence before it.
  const size_t lookBack = static_cast<size_t>(rate_) * kRiseLookBackMs / 1000;
  for (size_t i = 0; i < frames_.size(); ++i) {
    const Frame& frame = frames_[i];
    // Frames before the capture began count as silence.
    if (i > lookBack) windowStart = i - lookBack;
    while (!loudest.empty() && loudest.front() < windowStart) loudest.pop_front();
    const float before = loudest.empty() ? 0.0f : frames_[loudest.front()].level;
    if (frame.level > threshold && frame.level >= factor * before &&
        (starts.empty() || frame.time - lastStart >= gap)) {
      starts.push_back(instant(frame.time));
      lastStart = frame.time;
    }
    while (!loudest.empty() && frames_[loudest.back()].level <= frame.level) loudest.pop_back();
    loudest.push_back(i);
  }
  return starts;
}

float TestAudioCapture::peak() const {
  std::lock_guard<std::mutex> lock(mutex_);
  collect();
  float largest = 0;
  for (const Frame& frame : frames_) largest = std::max(largest, frame.level);
  return largest;
}

void TestAudioCapture::keepLastMinute() const {
  while (frames_.size() > kKeptSeconds * rate_) frames_.pop_front();
}
