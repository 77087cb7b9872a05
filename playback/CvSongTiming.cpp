#include "playback/CvSongTiming.h"

#include <algorithm>
#include <limits>

#include "service/CvLog.h"

namespace {

// The functions take any values (the count-off command bounds only some), so sums and
// products of them are formed in 64 bits and pinned to the 32-bit range instead of
// overflowing.
int32_t clampTo32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

bool isFourFour(int32_t beats, int32_t beatType) { return beats == 4 && beatType == 4; }

}  // namespace

void SetSongParameters(CvSongParameters& song, int32_t beats, int32_t tempo,
                       int32_t beatType, int32_t startMeasure, int32_t endMeasure,
                       int32_t startBeat, int32_t endBeat, int32_t startTime,
                       int32_t endTime, int32_t startPosition) {
  if (beats == 3 && beatType == 8) {
    beats = tempo > 100 ? 4 : 6;
    beatType = tempo > 100 ? 4 : 8;
  }
  song.tempo = tempo;
  song.beats = beats;
  song.beatType = beatType;
  song.startMeasure = startMeasure;
  song.endMeasure = endMeasure;
  song.startBeat = startBeat;
  song.endBeat = endBeat;
  song.startPosition = startPosition;
  song.startTime = startTime;
  song.endTime = endTime;
}

std::string SongParameterFault(const CvSongParameters& song) {
  const struct {
    const char* name;
    int32_t value;
    int32_t lowest;
    int32_t highest;
  } bounds[] = {
      {"tempo", song.tempo, LOWEST_TEMPO, HIGHEST_TEMPO},
      {"beats", song.beats, 1, MOST_BEATS},
      {"beatType", song.beatType, 1, LARGEST_BEAT_TYPE},
      {"startBeat", song.startBeat, 1, song.beats},
      {"startPosition", song.startPosition, 1, LAST_START_POSITION},
  };
  for (const auto& bound : bounds) {
    if (bound.value < bound.lowest || bound.value > bound.highest) {
      return std::string(bound.name) + " " + std::to_string(bound.value) + " is outside " +
             std::to_string(bound.lowest) + ".." + std::to_string(bound.highest);
    }
  }
  return std::string();
}

bool IsCompoundMeter(int32_t beats, int32_t beatType) {
  return (beats % 3 == 0 && beatType % 8 == 0) || (beats >= 6 && beatType != 4);
}

int32_t ComputeTickSpacing(int32_t tempo, int32_t beats, int32_t beatType) {
  if (tempo <= 0 || beatType <= 0) return 0;
  float q = static_cast<float>(60000.0 / tempo);
  if (!(beats == 2 && beatType == 2)) q = static_cast<float>(4.0 / beatType * q);
  return static_cast<int32_t>(q);  // at most 240000 here
}

int32_t ComputeNumTicks(const CvSongParameters& song) {
  if (isFourFour(song.beats, song.beatType)) {
    // The beats before the start point ((startBeat - 1), one more when the excerpt
    // starts after the beat), plus a whole bar when that leaves fewer than 3.
    const bool onBeat = song.startPosition == 1;
    switch (song.startBeat) {
      case 1: return onBeat ? 4 : 5;
      case 2: return onBeat ? 5 : 6;
      case 3: return onBeat ? 6 : 3;
      default: return onBeat ? 3 : 4;
    }
  }
  // Fast compound time is counted in every subdivision of two bars.
  const int64_t bars = IsCompoundMeter(song.beats, song.beatType) && song.tempo > 100 ? 2 : 1;
  int64_t base;
  if (song.beats == 2 && song.beatType == 2) {
    base = song.startBeat == 1 ? 5 : 7;
  } else if (song.beats == 6 && song.beatType == 4) {
    switch (song.startBeat) {
      case 1: base = 5; break;
      case 2: base = 6; break;
      case 3: base = 5; break;
      default: base = song.startBeat > 3 ? 9 : song.startBeat; break;
    }
  } else {
    base = int64_t{song.startBeat} + int64_t{song.beats} * bars;
  }
  return clampTo32(base - 1);
}

int32_t ExpectedCountOffDuration(int32_t numTicks, int32_t tickSpacing,
                                 int32_t startPosition, int32_t beats, int32_t beatType) {
  if (!isFourFour(beats, beatType)) return clampTo32(int64_t{numTicks} * tickSpacing);
  const int32_t duration = clampTo32((int64_t{numTicks} - 1) * tickSpacing +
                                     FinalStickWait(tickSpacing, startPosition));
  cvlog::out("@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n%d\n@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n", duration);
  return duration;
}

int32_t FinalStickWait(int32_t tickSpacing, int32_t startPosition) {
  const int64_t quarters = startPosition == 1 ? 4 : int64_t{startPosition} - 1;
  return clampTo32(quarters * (tickSpacing / 4));
}

int32_t MetronomeBeatCount(const CvSongParameters& song) {
  return clampTo32((int64_t{song.endMeasure} - song.startMeasure) * song.beats +
                   song.endBeat - song.startBeat + 1);
}

double TicksToMilliseconds(unsigned long deltaTicks, double secondsPerTick, int32_t tempo) {
  if (tempo <= 0) return 0.0;
  // This order of steps fixes the rounding of every event time in the schedule.
  return static_cast<double>(deltaTicks) * secondsPerTick * 1000 * 120 / tempo;
}

int32_t FindNearestTickIndex(const std::vector<int32_t>& tickTimes, int32_t position) {
  if (tickTimes.empty()) return 0;
  const auto later = std::lower_bound(tickTimes.begin(), tickTimes.end(), position);
  if (later == tickTimes.end()) return static_cast<int32_t>(tickTimes.size() - 1);
  const auto index = static_cast<int32_t>(later - tickTimes.begin());
  // An excerpt starting before the first event starts with that event.
  if (*later == position || index == 0) return index;
  const int64_t toEarlier = int64_t{position} - tickTimes[index - 1];
  const int64_t toLater = int64_t{*later} - position;
  return toEarlier < toLater ? index - 1 : index;
}

int32_t ElapsedMilliseconds(std::chrono::steady_clock::time_point from,
                            std::chrono::steady_clock::time_point to) {
  // duration_cast truncates toward zero, also for a negative difference.
  return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}
