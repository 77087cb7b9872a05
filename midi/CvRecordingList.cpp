#include "midi/CvRecordingList.h"

#include "midi/CvMidiState.h"

CvRecordingList g_recording_list;

void CvRecordingList::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

void CvRecordingList::append(const CvMidiEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
}

void CvRecordingList::replaceWithTestNote(const CvMidiEvent& event,
                                          const boost::posix_time::ptime& arrivedAt) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
  g_last_test_note_time.store(arrivedAt);
  events_.push_back(event);
}

bool CvRecordingList::firstTestNote(CvMidiEvent* event,
                                    boost::posix_time::ptime* arrivedAt) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *arrivedAt = g_last_test_note_time.load();
  if (events_.empty()) return false;
  *event = events_.front();
  return true;
}

std::vector<CvMidiEvent> CvRecordingList::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}
