// A sound of the test's own, played at known instants: an RtAudio output stream on
// the API a rig offers (JACK, or Pulse on PipeWire) at the rig's rate, that starts a
// click at each instant asked for. A click is a 1 kHz tone that starts at its loudest
// and decays exponentially, so that a click may sound over the tail of the one
// before, as notes do. The player tells when each click's first frame was handed to
// the sound system. On JACK that is the cycle that carries it through the graph,
// dated when it runs, as TestJackCapture dates it. On Pulse it is the write into the
// stream's buffer, which the server plays later; the callback runs whenever the
// buffer has room, late by a varying wake-up, while the frames go out at a steady
// pace: so frames are dated from the stream, the way TestMonitorCapture dates its own
// (the callback that came earliest for its place in the stream). Calls may come from
// any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <RtAudio.h>

class TestClickPlayer {
 public:
  using Clock = std::chrono::steady_clock;

  // level: the first frames' amplitude, 0 to 1; decay: the time the level takes to
  // fall to 1/e (a click lasts five of them).
  TestClickPlayer(RtAudio::Api api, uint32_t rate, float level = 0.5f,
                  std::chrono::milliseconds decay = std::chrono::milliseconds(20));
  ~TestClickPlayer();  // closes the stream

  // Opens and starts the stream (a JACK client or Pulse stream named kClientName);
  // false with the library's message printed when it cannot.
  bool start();
  // Clicks at these instants, in order, after any asked for before.
  void play(const std::vector<Clock::time_point>& instants);
  // When each click asked for so far began, in order; a click whose instant has not
  // come yet is not listed.
  std::vector<Clock::time_point> played() const;

  static const char* const kClientName;

 private:
  static int render(void* output, void*, unsigned int frames, double, RtAudioStreamStatus,
                    void* self);

  RtAudio::Api api_;
  uint32_t rate_;
  float level_;
  double decayFrames_;
  bool streamClock_;  // frames dated from the stream (Pulse), not from each callback
  std::unique_ptr<RtAudio> audio_;

  mutable std::mutex mutex_;
  std::vector<Clock::time_point> due_;     // guarded by mutex_: not begun yet, in order
  std::vector<Clock::time_point> played_;  // guarded by mutex_
  // render() alone uses these: how many frames into each click still sounding, the
  // frames written so far, and the stream's first frame as the earliest callback dates
  // it (ns on the steady clock).
  std::vector<uint64_t> voices_;
  uint64_t written_ = 0;
  int64_t anchor_ = INT64_MAX;
};
