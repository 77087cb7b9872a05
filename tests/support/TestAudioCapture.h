// Listens to the JACK graph of the test's server: a client with input ports that
// capture every audio output port of every other client (the "system" device and
// itself excepted). A port is connected as soon as it is registered, and RtAudio
// registers a stream's ports before it starts the stream, so even a stream that lives
// for one click is heard from its first frames; on a very busy machine the connection
// may come a few periods late (listensTo() tells when it is made). Every frame is kept
// with its time on std::chrono::steady_clock (when its cycle ran, plus its place in
// the cycle); the last minute is kept. The accessors may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

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

  TestAudioCapture() = default;
  ~TestAudioCapture();  // closes the client: the server must still run
  TestAudioCapture(const TestAudioCapture&) = delete;
  TestAudioCapture& operator=(const TestAudioCapture&) = delete;

  // Opens the client on the server JACK_DEFAULT_SERVER names, activates it and
  // connects the ports already there; false when the server cannot be reached.
  bool start();
  void clear();  // forgets what was captured so far

  // The sounds captured: stretches where the signal of any port exceeds threshold
  // (a fraction of full scale), separated by at least minSilence below it. The start
  // of the capture (or of a clear()) counts as quiet.
  std::vector<Sound> sounds(float threshold, std::chrono::milliseconds minSilence) const;
  // The starts of those sounds.
  std::vector<Clock::time_point> onsets(float threshold, std::chrono::milliseconds minSilence) const;
  // The largest absolute sample captured, 0 to 1.
  float peak() const;

  // Full names of the audio output ports of other clients now in the graph.
  std::vector<std::string> sourcePorts() const;
  // True when the client has audio output ports and each is connected to the capture.
  bool listensTo(const std::string& client) const;
  uint32_t sampleRate() const { return rate_; }
  // Frames lost because the reader fell behind JACK's thread; a capture that lost
  // none heard everything.
  uint64_t droppedFrames() const { return dropped_.load(); }

 private:
  struct Frame {
    int64_t time;  // steady clock, ns since its epoch
    float peak;    // largest absolute sample over the ports
  };

  static int process(uint32_t frames, void* self);
  static void portRegistered(uint32_t portId, int registered, void* self);
  void connectNewPorts();  // the connector thread
  void connect(jack_port_t* source);
  void drain() const;      // mutex_ held

  jack_client_t* client_ = nullptr;
  std::vector<jack_port_t*> inputs_;
  uint32_t rate_ = 0;

  // Frames go from JACK's thread through this ring to frames_: one writer (JACK's
  // thread) moves written_, one reader at a time (under mutex_) moves read_.
  std::vector<Frame> ring_;
  std::atomic<uint64_t> written_{0};
  mutable std::atomic<uint64_t> read_{0};
  std::atomic<uint64_t> dropped_{0};

  mutable std::mutex mutex_;
  mutable std::deque<Frame> frames_;  // guarded by mutex_, at most a minute
  std::vector<uint32_t> newPorts_;    // guarded by mutex_
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread connector_;
};
