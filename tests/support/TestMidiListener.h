// A JACK client with one MIDI input port ("<client>:in") that counts the Note Ons
// (velocity above 0) of each note it receives, on JACK's thread; the counts may be read
// from any thread. Connected beside the service's input, it tells a message that the
// graph lost from one that the service lost.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include <jack/types.h>

class TestMidiListener {
 public:
  explicit TestMidiListener(const std::string& clientName = "midi listener");
  ~TestMidiListener();
  TestMidiListener(const TestMidiListener&) = delete;
  TestMidiListener& operator=(const TestMidiListener&) = delete;

  // Opens the client and its port on the server this process reaches.
  bool open();
  std::string name() const { return clientName_ + ":in"; }
  uint64_t noteOns(int note) const { return noteOns_[note & 0x7F].load(); }

 private:
  static int process(jack_nframes_t frames, void* self);

  std::string clientName_;
  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  std::array<std::atomic<uint64_t>, 128> noteOns_{};
};
