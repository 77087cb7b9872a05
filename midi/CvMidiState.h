// Process-wide MIDI and session values. They are shared by the commands (event-loop
// threads), the port monitor thread and the MIDI input callback thread. The flags,
// the capture mode and the test-note time are atomics: a write is one exchange, a
// read one load. The device record holds its own mutex; the session user has a lock
// of its own. The recorded notes live in midi/CvRecordingList.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// One key of a keyboard: pitch-class name ("Csharp") and octave; "" / 0 when unknown.
struct CvNotePitch {
  std::string pitch;
  int octave = 0;
};

inline bool operator==(const CvNotePitch& a, const CvNotePitch& b) {
  return a.octave == b.octave && a.pitch == b.pitch;
}

// One MIDI input device. instrument_name is the port name exactly as the port
// enumeration reports it, and the Device table's key; empty means no device.
struct CvMidiDevice {
  std::string instrument_name;
  CvNotePitch lowest_note;
  CvNotePitch highest_note;
};

// The input ports found by the last refresh and the device the service listens to.
// Every access to the fields holds mutex; it is never held across a MIDI library
// call, a database operation or a wait.
struct CvMidiDeviceInfo {
  std::mutex mutex;
  uint32_t port_count = 0;          // guarded by mutex
  std::vector<CvMidiDevice> ports;  // guarded by mutex; entry i is input port i, names only
  CvMidiDevice currentMidiDevice;   // guarded by mutex
};

// Written by the port refresh, the device finder, the port monitor and the device
// selection commands; read by the commands that report the device.
extern CvMidiDeviceInfo g_midi_device_info;

// Copies taken under g_midi_device_info.mutex.
CvMidiDevice currentDevice();
std::string currentDeviceName();

// What incoming notes are captured for (application_current_action).
const int ACTION_RECORD_SONG = 0;  // every key press is appended to the recording
const int ACTION_TEST_DEVICE = 1;  // only the latest key press is kept
const int ACTION_IDLE = 2;         // nothing is captured

// Set by the count-off (recording), the device test commands and whatever ends a
// performance; read by the MIDI input callback.
extern std::atomic<int> application_current_action;

// The current device was changed: the port monitor closes the input port so that it
// reopens on the new device. Set by the monitor and the selection command; cleared by
// the monitor and the session start command.
extern std::atomic<bool> is_change_device;

// The web application's keep-alive connection is open. Written only by the WebSocket
// endpoint (CvKeepAliveRegistry); read by the port monitor.
extern std::atomic<bool> g_keep_alive_open;

// The session user's speakerPc preference. Written by the session start, speaker
// preference and end-session commands and the port monitor.
extern std::atomic<bool> g_speaker_pc;

// The clientID of the last started session (the User table's userId). Written by the
// session start command, read by the port monitor; whole copies under its own lock.
std::string sessionUserId();
void setSessionUserId(const std::string& userId);

// Arrival (UTC) of the latest key press captured in ACTION_TEST_DEVICE. Written by
// the MIDI input callback while it holds the recording list's lock, so a reader
// holding that lock sees the time of the note in the list.
extern std::atomic<boost::posix_time::ptime> g_last_test_note_time;

// The moment the current song recording started, and the milliseconds taken off every
// recorded time. Written by the count-off before it switches the capture mode to
// ACTION_RECORD_SONG; read by the MIDI input callback. A steady clock, so a wall-clock
// step during a performance does not shift the recorded times.
extern std::atomic<std::chrono::steady_clock::time_point> g_recording_start_time;
extern std::atomic<int32_t> g_recording_offset_ms;
