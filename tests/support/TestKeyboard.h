// A test MIDI keyboard: a JACK client with one MIDI output port that the service sees
// as an input port, the way a real keyboard appears. plug() makes the port appear,
// unplug() makes it disappear; the client stays, so plug() works again.
#pragma once

#include <memory>
#include <string>
#include <vector>

class RtMidiOut;
class TestJack;

class TestKeyboard {
 public:
  // clientName must be unique on the server (JACK would rename a second client of
  // the same name, and name() would no longer match).
  TestKeyboard(TestJack& jack, const std::string& clientName,
               const std::string& portName = "MIDI 1");
  ~TestKeyboard();

  // Opens the port; true once the server lists it under name().
  bool plug();
  // Closes the port; true once the server no longer lists it.
  bool unplug();
  // Drops the keyboard's client, as after its server ended; plug() makes a new one.
  void release();

  // The port's full name as a MIDI port enumeration reports it: "client:port".
  std::string name() const { return clientName_ + ":" + portName_; }

  void send(const std::vector<unsigned char>& bytes);
  void noteOn(int note, int velocity, int channel = 0);
  void noteOff(int note, int channel = 0);

 private:
  bool listed();

  TestJack& jack_;
  std::string clientName_;
  std::string portName_;
  std::unique_ptr<RtMidiOut> out_;  // made at the first plug(): it needs the server
};
