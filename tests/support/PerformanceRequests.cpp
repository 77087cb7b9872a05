#include "tests/support/PerformanceRequests.h"

#include <ctime>

#include "tests/support/TestService.h"

namespace {

// The instant as the web application writes start times, with `digits` decimals of the
// second (3 or 6).
std::string utcText(std::chrono::system_clock::time_point at, int digits) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  const long long perSecond = digits == 6 ? 1000000 : 1000;
  long long fraction = std::chrono::duration_cast<std::chrono::microseconds>(
                           at.time_since_epoch()).count() /
                       (1000000 / perSecond) % perSecond;
  std::tm utc;
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(text) + "." + std::to_string(perSecond + fraction).substr(1);
}

}  // namespace

std::string startTimeText(std::chrono::milliseconds ahead) {
  return utcText(std::chrono::system_clock::now() + ahead, 3);
}

std::string startTimeText(std::chrono::milliseconds ahead,
                          std::chrono::steady_clock::time_point* steadyStart) {
  auto wallNow = std::chrono::system_clock::now();
  *steadyStart = std::chrono::steady_clock::now() + ahead;
  return utcText(wallNow + ahead, 6);
}

Json::Value cacheSongData(int songId, const std::string& bytes) {
  Json::Value data;
  data["id"] = songId;
  data["midiFile"] = base64(bytes);
  data["lastMidiModified"] = "2026-12-09 10:00:00";
  return data;
}

Json::Value countOffData(const Excerpt& excerpt) {
  Json::Value data;
  data["songId"] = excerpt.songId;
  data["tempo"] = excerpt.tempo;
  data["timeSignature"]["beats"] = excerpt.beats;
  data["timeSignature"]["beatType"] = excerpt.beatType;
  data["startMeasure"] = 1;
  data["endMeasure"] = excerpt.endMeasure;
  data["startBeat"] = excerpt.startBeat;
  data["endBeat"] = 4;
  data["startPosition"] = excerpt.startPosition;
  data["startTime"] = excerpt.startTime;
  data["endTime"] = excerpt.endTime;
  return data;
}

Json::Value playData(const std::string& startTime, int accompaniment, int metronome) {
  Json::Value data;
  data["startTime"] = startTime;
  data["accompanimentVolume"] = std::to_string(accompaniment);
  data["metronomeVolume"] = std::to_string(metronome);
  data["songId"] = "1";
  return data;
}
