#include "midi/CvPitchNames.h"

#include <cstdint>

CvPitchNames::CvPitchNames()
    : names_{"C", "Csharp", "D", "Dsharp", "E", "F", "Fsharp", "G", "Gsharp", "A", "Asharp", "B"} {}

CvNotePitch CvPitchNames::noteToPitch(int note) const {
  int octaveNumber = note / 12;
  int position = note - 12 * octaveNumber;
  CvNotePitch result;
  if (position < 0 || position >= static_cast<int>(names_.size())) return result;
  result.pitch = names_[static_cast<size_t>(position)];
  result.octave = octaveNumber - 1;
  return result;
}

int CvPitchNames::pitchToNote(const std::string& pitch, int octave) const {
  // The octave comes from the web application: wide arithmetic, so an absurd octave
  // gives an absurd note rather than an overflow.
  int64_t note = 12 * (static_cast<int64_t>(octave) + 1);
  for (size_t position = 0; position < names_.size(); ++position) {
    if (names_[position] == pitch) {
      note += static_cast<int64_t>(position);
      break;
    }
  }
  return static_cast<int>(note);
}
