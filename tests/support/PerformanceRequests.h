// The web application's requests for a performance, as tests send them: a song to
// cache (code 6), an excerpt to prepare (code 9) and a start to play (code 12).
#pragma once

#include <json/value.h>

#include <chrono>
#include <string>

// At tempo 240 a quarter note (480 ticks) lasts 250 ms; in 4/4 the count-off is four
// ticks of 250 ms with a last one held 248 ms, so the first beat is due 998 ms after
// the count-off begins and "go" sounds at 750 ms.
const int kTempo = 240;
const int kCountOffMs = 998;
const int kGoMs = 750;

// A UTC time text as the web application writes start times, `ahead` from now.
std::string startTimeText(std::chrono::milliseconds ahead);
// The same with microseconds, and that instant on the steady clock, for the tests
// that time what is heard against it.
std::string startTimeText(std::chrono::milliseconds ahead,
                          std::chrono::steady_clock::time_point* steadyStart);

// Measure 1 of a 4/4 song from its start to endTime (ms at the tempo).
struct Excerpt {
  int songId = 0;
  Json::Value tempo = std::to_string(kTempo);
  int beats = 4;
  int beatType = 4;
  int startBeat = 1;
  int startPosition = 1;
  int startTime = 0;
  int endTime = 1000;
  int endMeasure = 1;  // the metronome clicks to the end of this measure
};

Json::Value cacheSongData(int songId, const std::string& bytes);
Json::Value countOffData(const Excerpt& excerpt);
Json::Value playData(const std::string& startTime, int accompaniment, int metronome);
