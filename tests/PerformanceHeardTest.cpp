// A whole performance as the learner hears it: the service finds the system's
// General MIDI SoundFont, so MIDI output port 0 is its built-in synthesizer, and
// everything it plays (the count-off words, the metronome's clicks and the
// synthesizer's notes) comes out of its one sound stream, captured and timed here. The
// learner plays along on a test keyboard and the stop command reports the keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/DeviceChecks.h"
#include "tests/support/PerformanceRequests.h"
#include "tests/support/TestAudioCapture.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Tempo 120: ticks and beats of 500 ms; the count-off's four words, then the first
// beat at 2000 ms.
const int kHeardTempo = 120;
const int kBeatMs = 500;
const int kHeardCountOffMs = 2000;
const int kClaves = 75;  // a short General MIDI drum sound, on channel 10

// Four claves between the beats of measure 1, on the drum channel (9 counted from 0).
std::string offBeatSong() {
  TestMidiFile song(0, 480);
  TestMidiFile::Track& track = song.track();
  track.programChange(0, 0, 0);
  for (int beat = 0; beat < 4; ++beat) {
    track.noteOn(beat == 0 ? 240 : 420, 9, kClaves, 110).noteOff(60, 9, kClaves);
  }
  return song.bytes();
}

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

TEST(PerformanceHeard, WordsClicksAndSynthesizerNotesSoundOnTheirInstants) {
  TestJack jack;
  ASSERT_TRUE(jack.start(std::chrono::seconds(10), 256, true));
  TestKeyboard piano(jack, "Test Piano");
  ASSERT_TRUE(piano.plug());
  TestAudioCapture capture;
  ASSERT_TRUE(capture.start());
  TestService service;
  storeDevice(service, piano.name(), true, 21, 108);
  ASSERT_TRUE(service.start());
  TestClient webApplication;
  ASSERT_TRUE(connectWebApplication(webApplication));
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack, piano); }));
  TestClient client;
  ASSERT_TRUE(client.connect());

  ASSERT_EQ(client.call(6, cacheSongData(1, offBeatSong()))["data"]["code"], 0);
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = std::to_string(kHeardTempo);
  excerpt.endTime = 4 * kBeatMs;
  Json::Value prepared = client.call(9, countOffData(excerpt));
  ASSERT_EQ(prepared["responseCode"], 0) << prepared;
  ASSERT_EQ(prepared["data"]["duration"], kHeardCountOffMs);
  EXPECT_TRUE(contains(service.log(), "MIDI output port 0 is the built-in synthesizer"));
  capture.clear();

  const milliseconds ahead(600);
  const Clock::time_point countOffStart = Clock::now() + ahead;
  std::thread learner([&] {
    for (int beat = 0; beat < 4; ++beat) {
      std::this_thread::sleep_until(countOffStart +
                                    milliseconds(kHeardCountOffMs + beat * kBeatMs + 100));
      piano.noteOn(60 + beat, 90);
      piano.noteOff(60 + beat);
    }
  });
  Json::Value answer =
      client.call(12, playData(startTimeText(ahead), 100, 80), "test-client", milliseconds(30000));
  learner.join();
  EXPECT_EQ(answer["responseCode"], 0) << answer;
  std::this_thread::sleep_until(countOffStart + milliseconds(kHeardCountOffMs + 4 * kBeatMs + 500));

  std::vector<double> heard;
  for (Clock::time_point onset : capture.onsets(0.05f, milliseconds(60))) {
    heard.push_back(msBetween(countOffStart, onset));
  }
  // Words at the count-off's ticks, then click, note, click, note... a half beat apart.
  std::vector<double> due;
  for (int tick = 0; tick < 4; ++tick) due.push_back(tick * kBeatMs);
  for (int beat = 0; beat < 4; ++beat) {
    due.push_back(kHeardCountOffMs + beat * kBeatMs);
    due.push_back(kHeardCountOffMs + beat * kBeatMs + kBeatMs / 2);
  }
  ASSERT_EQ(heard.size(), due.size()) << ::testing::PrintToString(heard);
  for (size_t i = 0; i < due.size(); ++i) {
    std::printf("%s %zu due %5.0f ms, heard %+6.1f ms\n",
                i < 4 ? "word " : (i % 2 == 0 ? "click" : "note "), i, due[i], heard[i] - due[i]);
    EXPECT_NEAR(heard[i], due[i], 80) << "sound " << i << ": " << ::testing::PrintToString(heard);
  }
  EXPECT_EQ(capture.droppedFrames(), 0u);

  Json::Value report = client.call(10)["data"];
  ASSERT_EQ(report["eventList"].size(), 4u) << report;
  for (int beat = 0; beat < 4; ++beat) {
    EXPECT_NEAR(report["eventList"][beat]["time"].asInt(), beat * kBeatMs + 100, 60) << report;
  }
}
