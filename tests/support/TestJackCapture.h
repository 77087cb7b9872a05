// Listens to the JACK graph of the test's server: a client with input ports that
// capture every audio output port of every other client (the "system" device and
// itself excepted). A port is connected as soon as it is registered, and RtAudio
// registers a stream's ports before it starts the stream, so even a stream that lives
// for one click is heard from its first frames; on a very busy machine the connection
// may come a few periods late (listensTo() tells when it is made). A frame's time is
// when the learner hears it: when its cycle ran, plus its place in the cycle, plus the
// playback latency of the server's physical ports (what a sound card adds).
#pragma once

#include <atomic>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestAudioCapture.h"

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

class TestJackCapture : public TestAudioCapture {
 public:
  TestJackCapture() = default;
  ~TestJackCapture() override;  // closes the client: the server must still run

  // Opens the client on the server JACK_DEFAULT_SERVER names, activates it and
  // connects the ports already there; false when the server cannot be reached.
  bool start() override;

  // Full names of the audio output ports of other clients now in the graph.
  std::vector<std::string> sourcePorts() const;
  // True when the client has audio output ports and each is connected to the capture.
  bool listensTo(const std::string& client) const;
  uint64_t droppedFrames() const override { return dropped_.load(); }

 private:
  static int process(uint32_t frames, void* self);
  static void portRegistered(uint32_t portId, int registered, void* self);
  void connectNewPorts();  // the connector thread
  void connect(jack_port_t* source);
  void collect() const override;

  jack_client_t* client_ = nullptr;
  std::vector<jack_port_t*> inputs_;
  int64_t speakerLatencyNs_ = 0;  // set by start(), before the first cycle

  // Frames go from JACK's thread through this ring to frames_: one writer (JACK's
  // thread) moves written_, one reader at a time (under mutex_) moves read_.
  std::vector<Frame> ring_;
  std::atomic<uint64_t> written_{0};
  mutable std::atomic<uint64_t> read_{0};
  std::atomic<uint64_t> dropped_{0};

  std::vector<uint32_t> newPorts_;  // guarded by mutex_
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread connector_;
};
