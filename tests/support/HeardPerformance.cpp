#include "tests/support/HeardPerformance.h"

#include <cmath>
#include <limits>

#include "tests/support/TestAudioCapture.h"
#include "tests/support/TestMidiFile.h"

namespace heard {

namespace {

const int kDivision = 480;
const int kClaves = 75;
const int kDrums = 9;  // channel 10, counted from 0
const float kThreshold = 0.05f;
const std::chrono::milliseconds kQuiet(60);

}  // namespace

std::string offBeatSong(int beats) {
  TestMidiFile song(0, kDivision);
  TestMidiFile::Track& track = song.track();
  track.programChange(0, 0, 0);
  const int half = kDivision / 2, length = kDivision / 8;
  for (int beat = 0; beat < beats; ++beat) {
    track.noteOn(beat == 0 ? half : kDivision - length, kDrums, kClaves, 110)
        .noteOff(length, kDrums, kClaves);
  }
  return song.bytes();
}

Excerpt offBeatExcerpt(int beats) {
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = std::to_string(kTempo);
  excerpt.endTime = beats * kBeatMs;
  excerpt.endMeasure = (beats + 3) / 4;
  return excerpt;
}

std::vector<Sound> match(const TestAudioCapture& capture,
                         std::chrono::steady_clock::time_point countOffStart, int beats,
                         size_t* extra) {
  std::vector<Sound> sounds;
  for (int tick = 0; tick < 4; ++tick) sounds.push_back({"word", double(tick * kBeatMs), NAN});
  for (int beat = 0; beat < beats; ++beat) {
    double at = kCountOffMs + beat * kBeatMs;
    sounds.push_back({"click", at, NAN});
    sounds.push_back({"note", at + kBeatMs / 2, NAN});
  }
  size_t unmatched = 0;
  for (auto onset : capture.onsets(kThreshold, kQuiet)) {
    double at = std::chrono::duration<double, std::milli>(onset - countOffStart).count();
    Sound* nearest = nullptr;
    for (Sound& sound : sounds) {
      if (std::fabs(at - sound.dueMs) < kBeatMs / 4 &&
          (nearest == nullptr || std::fabs(at - sound.dueMs) < std::fabs(at - nearest->dueMs))) {
        nearest = &sound;
      }
    }
    if (nearest == nullptr || !std::isnan(nearest->heardMs)) {
      ++unmatched;
    } else {
      nearest->heardMs = at;
    }
  }
  if (extra != nullptr) *extra = unmatched;
  return sounds;
}

}  // namespace heard
