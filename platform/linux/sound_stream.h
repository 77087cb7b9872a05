// The one output stream every sound of the service is mixed into: the count-off words,
// the metronome's clicks and the built-in synthesizer. It opens on the output that
// chooseSoundOutput picks when a source needs it, runs at that output's own rate, and
// closes once every source has been idle for a few seconds, so an idle service keeps
// no audio client. A stream that stopped being served (a server restart, a JACK
// buffer-size change, a device gone) is noticed at the next sound and opened anew,
// with a WARN line saying what happened.
//
// The stream's clock (StreamClock) is the performance's: a frame's instant on the
// steady clock is read off the frames rendered and the latency the output reports, so
// every source places its sounds on the frame that is heard at their instant.
#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <RtAudio.h>

#include "platform/linux/stream_clock.h"

namespace platform {

// Something that sounds through the stream. Sources live for the whole process.
class SoundSource {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~SoundSource() = default;
  // Adds its sound to frames of interleaved stereo output at rate, whose first frame
  // is heard at startsAt (the output's latency included), each next frame 1/rate later.
  // Runs on the audio thread: short, and without waiting long.
  virtual void mixInto(float* output, unsigned int frames, unsigned int rate,
                       Clock::time_point startsAt) = 0;
  // True while it has something to sound, or holds the stream open.
  virtual bool busy() = 0;
};

class SoundStream {
 public:
  using Clock = std::chrono::steady_clock;

  // The process's stream; never destroyed (the process ends while sounds may play).
  static SoundStream& instance();

  // Registers a source, once; it is mixed from then on.
  void add(SoundSource* source);

  // Makes sure the stream runs, opening it (or, when it stopped being served, opening it
  // anew); the rate it runs at, or 0 when no output could be had. Any thread but the
  // audio thread; sources call it before they have something to sound.
  unsigned int acquire();

  // How long after it is rendered the running stream's sound is heard, as its output
  // reports it; 0 while no stream runs. Any thread.
  uint32_t latencyMicroseconds() const;

 private:
  SoundStream() = default;
  static int render(void* output, void* input, unsigned int frames, double streamTime,
                    RtAudioStreamStatus status, void* self);
  static void onError(RtAudioError::Type type, const std::string& text);
  bool stalled() const;  // streamMutex_ held
  void closeStream();    // streamMutex_ held
  void closeWhenIdle();

  // Opening and closing; taken before sourcesMutex_, never by the audio thread.
  std::mutex streamMutex_;
  std::unique_ptr<RtAudio> audio_;  // made anew when the chosen API changes
  bool closer_ = false;             // the idle-close thread runs

  // The audio library's last word on the stream; it may speak on threads of its own.
  std::mutex errorMutex_;
  std::string lastError_;
  std::string takeLastError();

  std::mutex sourcesMutex_;
  std::vector<SoundSource*> sources_;

  // Written when a stream opens (streamMutex_ held, the stream stopped), read by the
  // audio thread.
  unsigned int rate_ = 0;
  Clock::time_point opened_;
  Clock::duration period_{};
  // Written by the audio thread at every period, read by acquire.
  std::atomic<Clock::rep> lastServed_{0};
  // Written when a stream opens (streamMutex_ held, the stream stopped), read by the
  // audio thread and latencyMicroseconds().
  std::atomic<uint32_t> latencyFrames_{0};
  // Used by the audio thread; started when a stream opens (streamMutex_ held, the
  // stream stopped).
  StreamClock clock_;
};

}  // namespace platform
