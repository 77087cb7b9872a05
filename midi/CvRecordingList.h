// The learner's recorded key presses (g_recording_list), in arrival order. The MIDI
// input callback appends; commands, the count-off and the port monitor read and empty
// it. Every operation takes the list's own mutex, so any thread may call any of them.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// One recorded note. A record with velocity 0 stands for "no event" where one is
// returned by value.
struct CvMidiEvent {
  int32_t time = 0;     // ms since the recording started, less the count-off offset
  uint8_t status = 0;   // 0x90..0x9F, Note On
  uint8_t channel = 0;  // status & 0x0F
  int32_t note = 0;
  int32_t velocity = 0;
  std::vector<unsigned char> bytes;  // the whole MIDI message
};

class CvRecordingList {
 public:
  void clear();
  void append(const CvMidiEvent& event);

  // Device-test capture: the list keeps only event, and g_last_test_note_time
  // becomes arrivedAt, both under the list's lock.
  void replaceWithTestNote(const CvMidiEvent& event, const boost::posix_time::ptime& arrivedAt);

  // The first record and the time of the latest test note, read together. False when
  // the list is empty.
  bool firstTestNote(CvMidiEvent* event, boost::posix_time::ptime* arrivedAt) const;

  std::vector<CvMidiEvent> snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::vector<CvMidiEvent> events_;  // guarded by mutex_
};

extern CvRecordingList g_recording_list;
