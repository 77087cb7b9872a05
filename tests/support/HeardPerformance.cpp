#include "tests/support/HeardPerformance.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
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

const char* const kWords[] = {"one", "two", "set", "go"};  // the count-off of 4/4

uint32_t little(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// Milliseconds from the first frame of a 16-bit PCM wave file to its first sample above
// the threshold; 0 when the file cannot be read.
double leadInMs(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0) return 0;
  uint32_t rate = 0, channels = 0;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = little(&bytes[at + 4], 4);
    const size_t body = at + 8;
    if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && body + 16 <= bytes.size()) {
      channels = little(&bytes[body + 2], 2);
      rate = little(&bytes[body + 4], 4);
    } else if (std::memcmp(&bytes[at], "data", 4) == 0 && rate != 0 && channels != 0) {
      const size_t end = std::min<size_t>(bytes.size(), body + size);
      for (size_t sample = body; sample + 2 <= end; sample += 2) {
        int16_t value = static_cast<int16_t>(little(&bytes[sample], 2));
        if (std::fabs(value / 32768.0) > kThreshold) {
          return 1000.0 * static_cast<double>((sample - body) / 2 / channels) / rate;
        }
      }
      return 0;
    }
    at = body + size + (size & 1);
  }
  return 0;
}

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
                         const std::string& serviceFolder, size_t* extra) {
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
  for (int tick = 0; tick < 4; ++tick) {
    sounds[tick].heardMs -= leadInMs(serviceFolder + "/countoff/" + kWords[tick] + ".wav");
  }
  if (extra != nullptr) *extra = unmatched;
  return sounds;
}

std::vector<double> clickToNote(const std::vector<Sound>& sounds) {
  std::vector<double> asynchrony;
  for (size_t i = 4; i + 1 < sounds.size(); i += 2) {
    asynchrony.push_back((sounds[i + 1].heardMs - sounds[i + 1].dueMs) -
                         (sounds[i].heardMs - sounds[i].dueMs));
  }
  return asynchrony;
}

}  // namespace heard
