// A test synthesizer: a JACK client with one MIDI input port, the way a sound module
// appears. An RtMidiOut opening port 0 reaches it when it is the first MIDI input port
// the server lists; JACK lists ports by registration slot, lowest first, and reuses
// the slot of a port that was closed. So plug the synth before anything else
// registers a MIDI input port, the service's own keyboard input included.
//
// Every message is recorded with its arrival time, taken in the process callback on
// JACK's thread; the accessors may be called from any thread. A plain libjack client:
// an event the port's buffer no longer holds when it is read (its sender ran on into
// the next period after an xrun) is counted as unreadable, never taken twice.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <jack/types.h>

class TestJack;
class TestKeyboard;

class TestSynth {
 public:
  struct Message {
    std::vector<unsigned char> bytes;
    std::chrono::steady_clock::time_point arrival;
  };

  // clientName must be unique on the server (JACK would rename a second client of
  // the same name, and name() would no longer match).
  TestSynth(TestJack& jack, const std::string& clientName,
            const std::string& portName = "MIDI in");
  ~TestSynth();
  TestSynth(const TestSynth&) = delete;
  TestSynth& operator=(const TestSynth&) = delete;

  // Opens the port; true once the server lists it under name().
  bool plug();
  // Closes the port; true once the server no longer lists it.
  bool unplug();

  // The port's full name as a MIDI output enumeration reports it: "client:port".
  std::string name() const { return clientName_ + ":" + portName_; }

  // What arrived so far, in arrival order; SysEx and timing messages included.
  std::vector<Message> messages() const;
  void clear();
  // Events the port's buffer listed but would not hand over, since the client was made.
  uint64_t unreadable() const { return unreadable_.load(); }
  // True once at least count messages have arrived; false when timeout passed first.
  bool waitForCount(size_t count, std::chrono::milliseconds timeout) const;
  // Once a link from the keyboard is listed: sends Active Sensing from it every 20 ms
  // until one arrives here, then forgets what arrived; false when none came within
  // timeout. A listed link may not carry data yet: on PipeWire's JACK layer the
  // messages of the first cycles after a connect are lost.
  bool hearsFrom(TestKeyboard& keyboard,
                 std::chrono::milliseconds timeout = std::chrono::seconds(3));

 private:
  static int process(jack_nframes_t frames, void* self);
  bool listed();

  TestJack& jack_;
  std::string clientName_;
  std::string portName_;
  jack_client_t* client_ = nullptr;  // made at the first plug(): it needs the server
  // Written by plug()/unplug() while the process callback may read it.
  std::atomic<jack_port_t*> port_{nullptr};
  std::atomic<uint64_t> unreadable_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Message> messages_;  // guarded by mutex_
};
