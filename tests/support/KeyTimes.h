// Key presses played exactly on the beats of a performance, and how far from each beat
// the service recorded them. Free of gtest: the tests and bench/ both use it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class TestClient;
class TestKeyboard;

struct KeyTimes {
  // Per beat, in order: the recorded time minus the beat's offset from the first beat
  // (ms). Empty when the report did not hold one press per beat (see fault).
  std::vector<double> errorsMs;
  // Per beat: when the JACK period that carried the press ran, minus the beat (ms); the
  // rig's share of the error (TestKeyboard::takeLags()), the rest is the service's.
  std::vector<double> graphLagsMs;
  // Empty when the report held exactly the keys played; otherwise what is wrong.
  std::string fault;
  // Presses the keyboard put into the graph after their beat (the queue was too late).
  uint64_t late = 0;
};

// During a performance the caller started, whose first beat is due at firstBeat on the
// steady clock: the keyboard plays a key (a different one each beat, released a fifth
// of a beat later) on the JACK frame of each of `beats` beats `beat` apart; after the
// last one the stop command (code 10, sent through `client`) reports what was
// recorded. Every press is queued at once, so call it before the first beat: before
// the play command's answer, which comes at the end of the count-off, hence with a
// client other than the one waiting for that answer.
KeyTimes playKeysOnBeats(TestKeyboard& keyboard, TestClient& client,
                         std::chrono::steady_clock::time_point firstBeat, int beats,
                         std::chrono::milliseconds beat);
