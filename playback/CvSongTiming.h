// The song parameters of a performance and the timing arithmetic over them: beat
// length, count-off ticks and length, the final stick, metronome clicks, MIDI delta
// ticks in milliseconds and the tick time nearest a song position. The functions work
// on their arguments only (no shared state), so they are safe from any thread; the one
// outside effect is the diagnostic line ExpectedCountOffDuration writes to standard
// output in 4/4. Results are whole milliseconds; conversions truncate toward zero and
// some steps round to single precision: the web application receives the count-off
// length as a number, so its rounding is part of the protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// As the count-off command delivers them; written only by SetSongParameters. Values
// the web application has not sent yet start at 0, so a song never set up is refused
// by SongParameterFault (beats and beatType 0).
struct CvSongParameters {
  int32_t tempo = 120;         // beats per minute
  int32_t beats = 0;           // time-signature numerator, normalised
  int32_t beatType = 0;        // time-signature denominator, normalised
  int32_t startMeasure = 1;
  int32_t endMeasure = 1;
  int32_t startBeat = 1;       // beat of startMeasure the excerpt starts on
  int32_t endBeat = 1;         // beat of endMeasure the excerpt ends on
  int32_t startPosition = 0;   // quarters of a tick into startBeat; 1 is on the beat
  int32_t startTime = 0;       // excerpt start, song position in ms
  int32_t endTime = 0;         // excerpt end, song position in ms
};

// Stores all ten values. 3/8 is played as 4/4 above tempo 100 and as 6/8 otherwise,
// so a fast 3/8 is counted in single beats and a slow one in compound time.
void SetSongParameters(CvSongParameters& song, int32_t beats, int32_t tempo,
                       int32_t beatType, int32_t startMeasure, int32_t endMeasure,
                       int32_t startBeat, int32_t endBeat, int32_t startTime,
                       int32_t endTime, int32_t startPosition);

// The values a song can have. Outside them the count-off command refuses the song, as
// it refuses one it cannot load: a beat of minutes, a count-off of millions of words or
// a final stick of hours would hold the command lock and the sound output that long.
const int32_t LOWEST_TEMPO = 20;      // beats per minute: a tick of at most 12 s
const int32_t HIGHEST_TEMPO = 400;
const int32_t MOST_BEATS = 64;        // time-signature numerator
const int32_t LARGEST_BEAT_TYPE = 64; // time-signature denominator
const int32_t LAST_START_POSITION = 4;  // quarters of a tick: 1 on the beat, 2 to 4 after

// Empty when the song parameters are playable: tempo LOWEST_TEMPO..HIGHEST_TEMPO, beats
// 1..MOST_BEATS, beatType 1..LARGEST_BEAT_TYPE, startBeat 1..beats (after the 3/8
// normalisation) and startPosition 1..LAST_START_POSITION. Otherwise the first value
// out of range and its range, for the log ("tempo 1 is outside 20..400").
std::string SongParameterFault(const CvSongParameters& song);

// 6/8, 9/8, 12/8, 3/8, 6/16, 6/2, 7/8 are compound; 6/4, 3/4, 4/4, 2/2 are not.
bool IsCompoundMeter(int32_t beats, int32_t beatType);

// Milliseconds per tick: a quarter note, except in 2/2 (a half note) and where
// beatType scales it. 0 when tempo or beatType is 0 or less.
int32_t ComputeTickSpacing(int32_t tempo, int32_t beats, int32_t beatType);

// Ticks of the count-off. May be 0 or negative for a startBeat below 1; such a
// count-off plays nothing.
int32_t ComputeNumTicks(const CvSongParameters& song);

// Milliseconds from the first count-off tick to the excerpt's first beat; the count-off
// command's "duration" and the origin of the recorded times. In 4/4 the last tick is
// held only for FinalStickWait.
int32_t ExpectedCountOffDuration(int32_t numTicks, int32_t tickSpacing,
                                 int32_t startPosition, int32_t beats, int32_t beatType);

// How long the last 4/4 count-off tick is held: up to startPosition, so an excerpt
// starting after the beat begins on time.
int32_t FinalStickWait(int32_t tickSpacing, int32_t startPosition);

// Clicks from the excerpt's first beat to its last, both included, in normalised beats.
int32_t MetronomeBeatCount(const CvSongParameters& song);

// A MIDI file's delta time in ms at the requested tempo. secondsPerTick is the file
// reader's value at its default of 120 beats per minute. 0 when tempo is 0 or less,
// so a bad tempo collapses the schedule instead of producing infinite times.
double TicksToMilliseconds(unsigned long deltaTicks, double secondsPerTick, int32_t tempo);

// Index of the tick time nearest position in an ascending list of distinct times. A tie
// goes to the later entry; a position after the last time gives the last index, one
// before the first time gives 0; an empty list gives 0.
int32_t FindNearestTickIndex(const std::vector<int32_t>& tickTimes, int32_t position);

// Whole milliseconds from `from` to `to`, truncated toward zero, as a 32-bit value
// (negative when `to` is earlier). Intervals of a performance are measured on the
// steady clock, so a wall-clock step cannot shift the schedule or the recorded times.
int32_t ElapsedMilliseconds(std::chrono::steady_clock::time_point from,
                            std::chrono::steady_clock::time_point to);
