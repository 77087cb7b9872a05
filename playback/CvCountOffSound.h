// The spoken count-off of a prepared song: one wave file per tick ("one", "two", ...,
// "set", "go", or a hi-hat between counted beats in compound time), each cut off when
// its tick ends. The ticks fall on a fixed schedule from the performance's start;
// PlayCountOff walks it on the play command's thread, and each word is queued on a
// short-lived thread of its own, ahead of its tick, to be heard on it through the
// platform's wave player. The "go" tick starts the recording of the learner's notes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

const int32_t COUNT_OFF_HIHAT = 25;
const int32_t COUNT_OFF_SET = 26;
const int32_t COUNT_OFF_GO = 27;

// The file of a word key ("countoff\one.wav" for 1, ...), or null for a key the table
// does not hold (a beat number above 16).
const char* CountOffWordFile(int32_t key);

class CvCountOffSound {
 public:
  explicit CvCountOffSound(int32_t tickSpacing);

  // Fills countOffAudioList with one file per tick; a tick whose word the table does
  // not hold is left out. startBeat matters in 2/2 only.
  void BuildCountOffWords(int32_t count, int32_t beats, int32_t beatType, int32_t startBeat);

  // Plays the list for the given performance (StartPlayingMusic), the first tick heard
  // at start (called that far ahead, so the first word can be queued); returns at the
  // count-off's scheduled end, or at once when the performance stops. False when it
  // stopped before the first tick. At "go" the recording starts: its time 0 is
  // start + ExpectedCountOffLength(), when the excerpt's first beat is due.
  bool PlayCountOff(uint64_t performance, std::chrono::steady_clock::time_point start);

  // Opens the first word ahead of the count-off and closes it again: the sound
  // output takes tens of ms to come up, and it must already run at the first tick.
  void HoldOutput();
  void ReleaseOutput();

  // Body of one word's thread: opens path, queues it to be heard at tick and cuts it
  // off tickSpacing after tick, or at once when the performance stops (and then closes
  // the MIDI output too).
  static void PlayWaveFile(const std::string& path, int32_t tickSpacing,
                           std::chrono::steady_clock::time_point tick, uint64_t performance);

  std::vector<std::string> countOffAudioList;  // file names relative to the program folder
  int32_t tickSpacing;
};
