// A performance to be heard rather than read: words, clicks and the built-in
// synthesizer's notes fall at distinct instants, so each can be found in the captured
// sound. At tempo 120 in 4/4 the count-off's four words come 500 ms apart, the first
// beat 2000 ms after the count-off begins; a click sounds on every beat and a short
// drum note (General MIDI claves, channel 10) half a beat after it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/PerformanceRequests.h"

class TestAudioCapture;

namespace heard {

const int kTempo = 120;
const int kBeatMs = 500;
const int kCountOffMs = 2000;

// A song of `beats` beats, with a program change at its start and a drum note half a
// beat after each beat.
std::string offBeatSong(int beats);
// The whole of that song as song 1, at tempo 120.
Excerpt offBeatExcerpt(int beats);

struct Sound {
  const char* kind;  // "word", "click" or "note"
  double dueMs;      // from the count-off's start
  double heardMs;    // the onset found for it, or NaN when none was found near it
};

// The sounds of a performance of offBeatSong(beats) with the metronome on, in order
// (the four words, then each beat's click and note), each with the captured onset
// (threshold 0.05, 60 ms of quiet between sounds) nearest its instant, within a
// quarter beat. A word is due when its file's first frame is heard: the onset found is
// later by the file's own lead-in (its first frame above the threshold, read from the
// service's countoff/ folder under serviceFolder), which heardMs leaves out. extra
// counts onsets that matched no sound.
std::vector<Sound> match(const TestAudioCapture& capture,
                         std::chrono::steady_clock::time_point countOffStart, int beats,
                         const std::string& serviceFolder, size_t* extra = nullptr);

// Per beat, how much later its note was heard than its click, each against its own
// instant (NaN where either was not heard): sounds as match() returns them.
std::vector<double> clickToNote(const std::vector<Sound>& sounds);

}  // namespace heard
