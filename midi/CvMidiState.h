// Process-wide MIDI and session values shared by the commands, the port monitor and
// the MIDI input callback. Flags are atomics written with single exchanges.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// The web application's keep-alive connection is open. Written only by the
// WebSocket endpoint (CvKeepAliveRegistry); read by the port monitor.
extern std::atomic<bool> g_keep_alive_open;

// One key of a keyboard: pitch-class name ("Csharp") and octave; empty / 0 unknown.
struct CvNotePitch {
  std::string pitch;
  int octave = 0;
};

// One MIDI input device; an empty instrument_name means no device.
struct CvMidiDevice {
  std::string instrument_name;
  CvNotePitch lowest_note;
  CvNotePitch highest_note;
};

// The input ports found by the last refresh and the device the service listens to.
// Every access holds mutex.
struct CvMidiDeviceInfo {
  std::mutex mutex;
  std::vector<CvMidiDevice> ports;  // guarded by mutex; entry i is input port i
  CvMidiDevice currentMidiDevice;   // guarded by mutex
};

extern CvMidiDeviceInfo g_midi_device_info;

// A copy of the current device's port name, taken under the device lock.
std::string currentDeviceName();
