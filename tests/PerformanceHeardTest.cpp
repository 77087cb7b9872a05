// A whole performance as the learner hears it, on the rig PIANOCORVIDA_TEST_RIG names
// (a 22050 Hz or 48000 Hz JACK server, or a desktop's PipeWire): the service finds the
// system's General MIDI SoundFont, so MIDI output port 0 is its built-in synthesizer,
// and everything it plays (the count-off words, the metronome's clicks and the
// synthesizer's notes) comes out of its one sound stream, captured and timed here.
// The learner plays along on the test keyboard and the stop command reports the keys.
// The bounds are loose for a loaded machine; bench/playback_bench prints the figures.
#include <gtest/gtest.h>

#include <json/writer.h>  // prints Json::Value in failure messages

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HeardPerformance.h"
#include "tests/support/TestAudioCapture.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestRig.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const int kBeats = 4;  // measure 1 of 4/4

// Every word, click and note found on its instant, click and note of each beat
// together, and nothing else heard. The sounds are placed on their frames; the bound
// leaves room for a capture woken late on a loaded machine.
const double kHeardWithinMs = 12;

void expectHeardOnTime(const TestAudioCapture& capture, Clock::time_point countOffStart,
                       const std::string& serviceFolder, const char* rig) {
  size_t extra = 0;
  const std::vector<heard::Sound> sounds =
      heard::match(capture, countOffStart, kBeats, serviceFolder, &extra);
  for (const heard::Sound& sound : sounds) {
    std::printf("%s: %-5s due %4.0f ms, heard %+6.1f ms\n", rig, sound.kind, sound.dueMs,
                sound.heardMs - sound.dueMs);
    EXPECT_NEAR(sound.heardMs, sound.dueMs, kHeardWithinMs) << sound.kind << " due at " << sound.dueMs;
  }
  for (double asynchrony : heard::clickToNote(sounds)) {
    std::printf("%s: note after click %+6.1f ms\n", rig, asynchrony);
    EXPECT_NEAR(asynchrony, 0, kHeardWithinMs);
  }
  EXPECT_EQ(extra, 0u) << "sounds heard that were not played";
  EXPECT_EQ(capture.droppedFrames(), 0u);
}

// Plays the prepared song with the metronome from 600 ms on; the count-off's start.
Clock::time_point play(TestClient& client) {
  const milliseconds ahead(600);
  Clock::time_point countOffStart;
  Json::Value answer = client.call(12, playData(startTimeText(ahead, &countOffStart), 100, 80), "test-client",
                                   milliseconds(30000));
  EXPECT_EQ(answer["responseCode"], 0) << answer;
  return countOffStart;
}

void waitForTheEnd(Clock::time_point countOffStart) {
  std::this_thread::sleep_until(countOffStart +
                                milliseconds(heard::kCountOffMs + kBeats * heard::kBeatMs + 600));
}

class PerformanceHeard : public ::testing::Test {
 protected:
  PerformanceHeard() : rig_(TestRig::kindFromEnvironment(TestRig::Kind::Jack22050)) {}

  void prepare(TestClient& client) {
    ASSERT_EQ(client.call(6, cacheSongData(1, heard::offBeatSong(kBeats)))["data"]["code"], 0);
    Json::Value prepared = client.call(9, countOffData(heard::offBeatExcerpt(kBeats)));
    ASSERT_EQ(prepared["responseCode"], 0) << prepared;
    ASSERT_EQ(prepared["data"]["duration"], heard::kCountOffMs);
  }

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
  ASSERT_NO_FATAL_FAILURE(prepare(client));
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

  // The learner presses a key 100 ms after each beat.
  const Clock::time_point expectedStart = Clock::now() + milliseconds(600);
  std::thread learner([&] {
    for (int beat = 0; beat < kBeats; ++beat) {
      std::this_thread::sleep_until(
          expectedStart + milliseconds(heard::kCountOffMs + beat * heard::kBeatMs + 100));
      rig_.keyboard().noteOn(60 + beat, 90);
      rig_.keyboard().noteOff(60 + beat);
    }
  });
  const Clock::time_point countOffStart = play(client);
  learner.join();
  waitForTheEnd(countOffStart);

  expectHeardOnTime(rig_.capture(), countOffStart, rig_.service().folder(), rig_.name());
  if (rig_.kind() != TestRig::Kind::PipeWire) {
    // On JACK the stream plays into the server's physical playback ports.
    for (const char* port : {"pianocorvida:outport 0", "pianocorvida:outport 1"}) {
      std::vector<std::string> to = rig_.jack().connections(port);
      EXPECT_TRUE(std::any_of(to.begin(), to.end(), [](const std::string& name) {
        return name.rfind("system:playback_", 0) == 0;
      })) << port << " plays into " << ::testing::PrintToString(to);
    }
  }
  // The accompaniment went to the built-in synthesizer, none to the MIDI destination.
  EXPECT_EQ(rig_.synth().messages().size(), 0u);

  Json::Value report = client.call(10)["data"];
  ASSERT_EQ(report["eventList"].size(), static_cast<unsigned>(kBeats)) << report;
  for (int beat = 0; beat < kBeats; ++beat) {
    EXPECT_NEAR(report["eventList"][beat]["time"].asInt(), beat * heard::kBeatMs + 100, 60)
        << report;
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
  const char* path = std::getenv("LD_LIBRARY_PATH");
  const std::string libraryPath = path != nullptr ? path : "";
  unsetenv("LD_LIBRARY_PATH");
  bool started = rig_.startService();
  setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
  ASSERT_TRUE(started);
  TestClient client;
  ASSERT_TRUE(client.connect());
  ASSERT_NO_FATAL_FAILURE(prepare(client));
  // The keyboard on PipeWire's JACK layer is out of its reach: no MIDI at all.
  EXPECT_EQ(client.call(3)["data"], Json::Value(Json::arrayValue));
  rig_.capture().clear();
  const Clock::time_point countOffStart = play(client);
  waitForTheEnd(countOffStart);
  expectHeardOnTime(rig_.capture(), countOffStart, rig_.service().folder(), "pipewire, no MIDI system");
  EXPECT_EQ(client.call(10)["data"]["eventList"].size(), 0u);
}
