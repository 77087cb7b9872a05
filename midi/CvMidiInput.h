// cvMidiIn: the service's one MIDI input object (MIDI_IN_CLIENT_NAME, on the MIDI
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
//
// A JACK server that ends leaves the library object with a dead connection that lists
// the old ports for ever; every call first checks platform::midiSystemsEnded and, once
// the server has gone, makes a new object (callback and filters set again), which
// answers 0 ports until a server runs again.
//
// The service's own playback output (MIDI_OUT_CLIENT_NAME) is a MIDI source too, and
// on ALSA and JACK it would be listed among the keyboards, its opening and closing at
// every performance seen as a keyboard change. It is left out: port numbers here count
// the other ports only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <RtMidi.h>

// The client names of the service's own MIDI input and output. They carry the
// service's name, not the library's default ones, so that another program built on
// the library with its default names (a software keyboard or synthesizer) is listed
// and played to like any other, and the service's own ports are known by their names.
extern const char* const MIDI_IN_CLIENT_NAME;  // "Piano Corvida Plugin Input"

// True for a port of the service's own MIDI input or output client, as the MIDI
// system lists it.
bool IsOwnMidiPort(const std::string& portName);

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
  // Makes the library object; caller holds mutex_.
  void makeInput();
  // Makes it anew when its MIDI system has ended since it was made; caller holds mutex_.
  void renewIfSystemEnded();
  // Ends one library call: raises the error it reported, notes (un)availability.
  void finishCall(bool countsPorts);
  // Rebuilds visiblePorts_ from the library's port names; caller holds mutex_.
  void listVisiblePorts();
  // The library's number of visible port portNumber; caller holds mutex_.
  unsigned int libraryPort(unsigned int portNumber);

  std::mutex mutex_;
  std::unique_ptr<RtMidiIn> input_;  // guarded by mutex_
  // What the object was made under and set up with, to make it anew; guarded by mutex_.
  uint64_t systemsEndedAtMaking_ = 0;
  bool remakePending_ = false;  // the old object was let go, the new one not made yet
  RtMidiIn::RtMidiCallback callback_ = nullptr;
  bool ignoreSysex_ = true;
  bool ignoreTime_ = true;
  bool ignoreSense_ = true;
  // What the library reported during the current call; guarded by mutex_.
  bool errorPending_ = false;
  RtMidiError::Type errorType_ = RtMidiError::UNSPECIFIED;
  std::string errorText_;
  bool systemMissingSeen_ = false;
  // Whether the last port count found no MIDI system, and when to look again;
  // guarded by mutex_.
  bool unavailable_ = false;
  std::chrono::steady_clock::time_point nextLook_;
  // The library's numbers of the ports that are not the service's own, and the
  // library's port count they were listed at; guarded by mutex_.
  std::vector<unsigned int> visiblePorts_;
  unsigned int listedAtCount_ = 0;
};

extern CvMidiInput cvMidiIn;
