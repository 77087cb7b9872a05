#include "tests/support/KeyTimes.h"

#include <json/value.h>

#include <thread>

#include "midi/CvPitchNames.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

namespace {

using std::chrono::milliseconds;

const int kLowestKey = 48;
const int kKeys = 36;  // three octaves, then the keys repeat
const unsigned char kVelocity = 90;

int keyOf(int beat) { return kLowestKey + beat % kKeys; }

// What does not match: the report's entries against the keys, beat by beat.
std::string compare(const Json::Value& events, int beats) {
  if (!events.isArray()) return "the report has no eventList";
  if (events.size() != static_cast<unsigned>(beats)) {
    return std::to_string(events.size()) + " key presses reported for " + std::to_string(beats) +
           " beats";
  }
  CvPitchNames names;
  for (int beat = 0; beat < beats; ++beat) {
    const Json::Value& event = events[beat];
    CvNotePitch played = names.noteToPitch(keyOf(beat));
    const Json::Value& note = event["noteList"][0];
    if (!event["time"].isInt() || note["pitch"] != played.pitch ||
        note["octave"] != played.octave) {
      return "beat " + std::to_string(beat) + " reported as " + event.toStyledString();
    }
  }
  return "";
}

}  // namespace

KeyTimes playKeysOnBeats(TestKeyboard& keyboard, TestClient& client,
                         std::chrono::steady_clock::time_point firstBeat, int beats,
                         milliseconds beat) {
  KeyTimes result;
  const uint64_t deliveredBefore = keyboard.delivered();
  const uint64_t lateBefore = keyboard.late();
  keyboard.takeLags();  // those of earlier messages
  for (int k = 0; k < beats; ++k) {
    auto at = firstBeat + k * beat;
    auto key = static_cast<unsigned char>(keyOf(k));
    if (!keyboard.sendAt(at, {0x90, key, kVelocity}) ||
        !keyboard.sendAt(at + beat / 5, {0x80, key, 64})) {
      result.fault = "the keyboard did not queue beat " + std::to_string(k);
      return result;
    }
  }
  std::this_thread::sleep_until(firstBeat + beats * beat);
  const uint64_t presses = 2 * static_cast<uint64_t>(beats);
  if (!eventually([&] { return keyboard.delivered() - deliveredBefore >= presses; },
                  std::chrono::seconds(2))) {
    result.fault = "the keyboard put only " + std::to_string(keyboard.delivered() - deliveredBefore) +
                   " of " + std::to_string(presses) + " messages into the graph";
  }
  result.late = keyboard.late() - lateBefore;
  const std::vector<double> lags = keyboard.takeLags();  // press, release, press, ...
  // The last press reaches the recording within moments of its period.
  std::this_thread::sleep_for(milliseconds(100));
  Json::Value report = client.call(10, Json::Value(), "test-client", milliseconds(30000));
  const Json::Value& events = report["data"]["eventList"];
  if (result.fault.empty()) result.fault = compare(events, beats);
  if (!result.fault.empty()) return result;
  if (lags.size() != presses) {
    result.fault = std::to_string(lags.size()) + " timed messages went out for " +
                   std::to_string(presses);
    return result;
  }
  for (int k = 0; k < beats; ++k) {
    result.graphLagsMs.push_back(lags[2 * k]);
    result.errorsMs.push_back(events[k]["time"].asInt() - k * static_cast<double>(beat.count()));
  }
  return result;
}
