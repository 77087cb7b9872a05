// A whole performance as the learner hears it, on the rig PIANOCORVIDA_TEST_RIG names
// (a 22050 Hz or 48000 Hz JACK server, or a desktop's PipeWire): the service finds the
// system's General MIDI SoundFont, so MIDI output port 0 is its built-in synthesizer,
// and everything it plays (the count-off words, the metronome's clicks and the
// synthesizer's notes) comes out of its one sound stream, captured and timed here.
// The learner plays along on the test keyboard and the stop command reports the keys.
// The bounds are loose for a loaded machine; bench/playback_bench prints the figures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <json/writer.h>  // prints Json::Value in failure messages

#include "tests/support/PerformanceRequests.h"
#include "tests/support/TestAudioCapture.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestRig.h"
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
const float kThreshold = 0.05f;
const milliseconds kQuiet(60);

// Four claves between the beats of measure 1 on the drum channel (9 counted from 0),
// after a program change at the song's start.
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

Excerpt offBeatExcerpt() {
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = std::to_string(kHeardTempo);
  excerpt.endTime = 4 * kBeatMs;
  return excerpt;
}

// Words at the count-off's ticks, then click, note, click, note... half a beat apart.
std::vector<double> dueSounds() {
  std::vector<double> due;
  for (int tick = 0; tick < 4; ++tick) due.push_back(tick * kBeatMs);
  for (int beat = 0; beat < 4; ++beat) {
    due.push_back(kHeardCountOffMs + beat * kBeatMs);
    due.push_back(kHeardCountOffMs + beat * kBeatMs + kBeatMs / 2);
  }
  return due;
}

// The captured sounds' onsets from the count-off's start, checked against dueSounds().
void expectHeardOnTime(const TestAudioCapture& capture, Clock::time_point countOffStart,
                       const char* rig) {
  std::vector<double> heard;
  for (Clock::time_point onset : capture.onsets(kThreshold, kQuiet)) {
    heard.push_back(msBetween(countOffStart, onset));
  }
  const std::vector<double> due = dueSounds();
  ASSERT_EQ(heard.size(), due.size()) << ::testing::PrintToString(heard);
  for (size_t i = 0; i < due.size(); ++i) {
    const char* what = i < 4 ? "word" : (i % 2 == 0 ? "click" : "note");
    std::printf("%s: %-5s due %4.0f ms, heard %+6.1f ms\n", rig, what, due[i], heard[i] - due[i]);
    EXPECT_NEAR(heard[i], due[i], 80) << what << " " << i;
  }
  EXPECT_EQ(capture.droppedFrames(), 0u);
}

class PerformanceHeard : public ::testing::Test {
 protected:
  PerformanceHeard() : rig_(TestRig::kindFromEnvironment(TestRig::Kind::Jack22050)) {}
  TestRig rig_;
};

}  // namespace

TEST_F(PerformanceHeard, WordsClicksAndSynthesizerNotesSoundOnTheirInstants) {
  ASSERT_TRUE(rig_.start());
  rig_.service().setSoundFonts(TestService::SoundFonts::Visible);
  ASSERT_TRUE(rig_.startService());
  ASSERT_TRUE(rig_.connectWebApplication());
  TestClient client;
  ASSERT_TRUE(client.connect());

  ASSERT_EQ(client.call(6, cacheSongData(1, offBeatSong()))["data"]["code"], 0);
  Json::Value prepared = client.call(9, countOffData(offBeatExcerpt()));
  ASSERT_EQ(prepared["responseCode"], 0) << prepared;
  ASSERT_EQ(prepared["data"]["duration"], kHeardCountOffMs);
  // The output chosen, and port 0, are said once each.
  const std::string log = rig_.service().log();
  const std::string chosen = rig_.kind() == TestRig::Kind::PipeWire
                                 ? "[SoundOutput] sound output: PulseAudio, device null_sink, 48000 Hz"
                                 : "[SoundOutput] sound output: JACK, device system, " +
                                       std::to_string(rig_.sampleRate()) + " Hz";
  EXPECT_NE(log.find(chosen), std::string::npos) << log;
  EXPECT_NE(log.find("[BuiltInSynthesizer] MIDI output port 0 is the built-in synthesizer"),
            std::string::npos);
  rig_.capture().clear();

  const milliseconds ahead(600);
  const Clock::time_point countOffStart = Clock::now() + ahead;
  std::thread learner([&] {
    for (int beat = 0; beat < 4; ++beat) {
      std::this_thread::sleep_until(countOffStart +
                                    milliseconds(kHeardCountOffMs + beat * kBeatMs + 100));
      rig_.keyboard().noteOn(60 + beat, 90);
      rig_.keyboard().noteOff(60 + beat);
    }
  });
  Json::Value answer =
      client.call(12, playData(startTimeText(ahead), 100, 80), "test-client", milliseconds(30000));
  learner.join();
  EXPECT_EQ(answer["responseCode"], 0) << answer;
  std::this_thread::sleep_until(countOffStart + milliseconds(kHeardCountOffMs + 4 * kBeatMs + 600));

  expectHeardOnTime(rig_.capture(), countOffStart, rig_.name());
  // The accompaniment went to the built-in synthesizer, none to the MIDI destination.
  EXPECT_EQ(rig_.synth().messages().size(), 0u);

  Json::Value report = client.call(10)["data"];
  ASSERT_EQ(report["eventList"].size(), 4u) << report;
  for (int beat = 0; beat < 4; ++beat) {
    EXPECT_NEAR(report["eventList"][beat]["time"].asInt(), beat * kBeatMs + 100, 60) << report;
  }
  const std::string after = rig_.service().log();
  EXPECT_EQ(after.find(chosen), after.rfind(chosen)) << "the same choice was logged twice";
}

// A learner who plays along with the keyboard unplugged and no MIDI system at all (no
// ALSA sequencer, no JACK server): the song is prepared and heard all the same.
TEST_F(PerformanceHeard, WithoutAnyMidiSystemTheAccompanimentStillSounds) {
  if (rig_.kind() != TestRig::Kind::PipeWire) GTEST_SKIP() << "needs a sound server without JACK";
  ASSERT_TRUE(rig_.start());
  rig_.service().setSoundFonts(TestService::SoundFonts::Visible);
  // Without pw-jack's library path the service's JACK client finds no server.
  std::string libraryPath = std::getenv("LD_LIBRARY_PATH") ? std::getenv("LD_LIBRARY_PATH") : "";
  unsetenv("LD_LIBRARY_PATH");
  bool started = rig_.startService();
  setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
  ASSERT_TRUE(started);
  TestClient client;
  ASSERT_TRUE(client.connect());
  ASSERT_EQ(client.call(6, cacheSongData(1, offBeatSong()))["data"]["code"], 0);
  Json::Value prepared = client.call(9, countOffData(offBeatExcerpt()));
  ASSERT_EQ(prepared["responseCode"], 0) << prepared;
  // The keyboard on PipeWire's JACK layer is out of its reach: no MIDI at all.
  EXPECT_EQ(client.call(3)["data"], Json::Value(Json::arrayValue));
  rig_.capture().clear();
  const milliseconds ahead(600);
  const Clock::time_point countOffStart = Clock::now() + ahead;
  Json::Value answer =
      client.call(12, playData(startTimeText(ahead), 100, 80), "test-client", milliseconds(30000));
  EXPECT_EQ(answer["responseCode"], 0) << answer;
  std::this_thread::sleep_until(countOffStart + milliseconds(kHeardCountOffMs + 4 * kBeatMs + 600));
  expectHeardOnTime(rig_.capture(), countOffStart, "pipewire, no MIDI system");
  EXPECT_EQ(client.call(10)["data"]["eventList"].size(), 0u);
}
