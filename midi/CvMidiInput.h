// cvMidiIn: the service's one MIDI input object ("RtMidi Input Client", on the MIDI
// API the platform chooses, input queue limit 100). Every open, close, count and name
// query of input ports goes through it, and each call holds its mutex, because the
// MIDI library is not safe from several threads while the port monitor and commands
// call it at once.
//
// Library errors arrive as RtMidiError exceptions, as the library's own calls raise
// them. When no MIDI system is running (no ALSA sequencer and no JACK server) the
// object answers 0 ports and logs one line saying so, and one more when a system
// appears; the library connects to a JACK server that starts later on its own. While
// none runs, the library is asked at most once a second (each attempt to reach a
// server costs milliseconds, and the port monitor asks every 50 ms).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <RtMidi.h>

class CvMidiInput {
 public:
  // Creates the library object; a failure is logged and leaves an object with no ports.
  void create();

  unsigned int getPortCount();
  std::string getPortName(unsigned int portNumber);
  void openPort(unsigned int portNumber, const std::string& portName);
  void closePort();
  bool isPortOpen();
  void setCallback(RtMidiIn::RtMidiCallback callback);
  void ignoreTypes(bool midiSysex, bool midiTime, bool midiSense);

 private:
  static void onLibraryError(RtMidiError::Type type, const std::string& text, void* self);
  // Ends one library call: raises the error it reported, notes (un)availability.
  void finishCall(bool countsPorts);

  std::mutex mutex_;
  std::unique_ptr<RtMidiIn> input_;  // guarded by mutex_
  // What the library reported during the current call; guarded by mutex_.
  bool errorPending_ = false;
  RtMidiError::Type errorType_ = RtMidiError::UNSPECIFIED;
  std::string errorText_;
  bool systemMissingSeen_ = false;
  // Whether the last port count found no MIDI system, and when to look again;
  // guarded by mutex_.
  bool unavailable_ = false;
  std::chrono::steady_clock::time_point nextLook_;
};

extern CvMidiInput cvMidiIn;
