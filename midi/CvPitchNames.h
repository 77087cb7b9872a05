// The twelve pitch-class names, sharps only ("C", "Csharp", ... "B"), and the
// conversion between MIDI note numbers and (pitch name, octave). Note 60 is "C"
// octave 4. Holds no state but the table; any thread may use its own instance.
#pragma once

#include <array>
#include <string>

#include "midi/CvMidiState.h"

class CvPitchNames {
 public:
  CvPitchNames();

  // "" and octave 0 for a negative note.
  CvNotePitch noteToPitch(int note) const;
  // 12 * (octave + 1) plus the position of pitch; a name not in the table counts as "C".
  int pitchToNote(const std::string& pitch, int octave) const;

 private:
  std::array<std::string, 12> names_;
};
