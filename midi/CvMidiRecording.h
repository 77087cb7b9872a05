// Keeps the learner's keyboard connected and captures what the learner plays.
//
// ProcessRecordingMidi is the port monitor: started once by the process entry, it
// never returns. Every 50 ms, while the web application's keep-alive connection is
// open, it follows plugging and unplugging, reopens the input port after a device
// change and loads the session user's speaker preference on connect; when that
// connection closes it stops any playback and closes the port.
//
// RecordingCallback runs on the MIDI library's input thread for every message and
// dates it by the MIDI system's event time (CvKeyClock): in ACTION_RECORD_SONG it
// appends each key press with its time from the excerpt's first beat; in
// ACTION_TEST_DEVICE it keeps only the latest key press.
#pragma once

#include <vector>

class CvMidiRecording {
 public:
  [[noreturn]] static void ProcessRecordingMidi();

  static void RecordingCallback(double timeStamp, std::vector<unsigned char>* message,
                                void* userData);
};
