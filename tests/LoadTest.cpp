// Many web-application connections at once while a performance plays: 200 real
// WebSocket connections send a mix of commands for ten seconds, each request
// answered on its own connection with the envelope and data of its command, while
// the accompaniment goes to a test synthesizer and a test keyboard plays along.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/DeviceChecks.h"
#include "tests/support/PerformanceRequests.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestClientPool.h"
#include "tests/support/TestCommandMix.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestRig.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const size_t kConnections = 200;
const milliseconds kLoadTime(10000);
const milliseconds kPause(20);
const int kSongId = 1;
const char* const kSongStamp = "2026-12-09 10:00:00";
const int kNotes = 32;  // a quarter note each at tempo 240: eight seconds
const int kKeyPresses = 8;

std::string song() {
  TestMidiFile file(0, 480);
  TestMidiFile::Track& track = file.track();
  for (int n = 0; n < kNotes; ++n) {
    track.noteOn(n == 0 ? 0 : 240, 0, 60 + n % 12, 100).noteOff(240, 0, 60 + n % 12);
  }
  return file.bytes();
}

}  // namespace

TEST(Load, TwoHundredConnectionsAreAnsweredWhileASongPlays) {
  // The 22050 Hz JACK rig as the playback tests run it; nothing listens to the sound.
  TestRig::Settings settings;
  settings.kind = TestRig::kindFromEnvironment(TestRig::Kind::Jack22050);
  settings.capture = false;
  TestRig rig(settings);
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(rig.startService());
  ASSERT_TRUE(rig.connectWebApplication(milliseconds(10000)));
  TestSynth& synth = rig.synth();
  TestKeyboard& piano = rig.keyboard();
  TestService& service = rig.service();

  TestClient client;
  ASSERT_TRUE(client.connect());
  Json::Value cache = cacheSongData(kSongId, song());
  cache["lastMidiModified"] = kSongStamp;
  ASSERT_EQ(client.call(6, cache)["data"]["code"], 0);
  TestCommandMix mix(piano.name(), kSongId, kSongStamp);
  ASSERT_TRUE(mix.storeExercise(client));
  Excerpt excerpt;
  excerpt.songId = kSongId;
  excerpt.endTime = kNotes * 250;
  ASSERT_EQ(client.call(9, countOffData(excerpt))["responseCode"], 0);

  TestClientPool pool;
  ASSERT_EQ(pool.connect(kConnections), kConnections);
  TestClientPool::Tally tally;
  std::thread load([&] {
    tally = pool.run(mix.script(), mix.checker(), kLoadTime, kPause);
  });

  // The performance, in the middle of the load: count-off (998 ms), eight seconds of
  // song. The play command answers after the count-off, when recording is on; the keys
  // are pressed from then on, so a service slowed by the load (or a sanitizer) still
  // hears all of them.
  std::this_thread::sleep_for(milliseconds(500));
  Json::Value played = client.call(12, playData(startTimeText(milliseconds(300)), 100, 0),
                                   "test-client", milliseconds(30000));
  EXPECT_EQ(played["responseCode"], 0) << played;
  auto answered = steady_clock::now();
  for (int k = 0; k < kKeyPresses; ++k) {
    std::this_thread::sleep_until(answered + milliseconds(300 + k * 900));
    piano.noteOn(48 + k, 90);
    piano.noteOff(48 + k);
  }
  bool wholeSong = synth.waitForCount(2 * kNotes, milliseconds(20000));
  TestClient stopper;
  ASSERT_TRUE(stopper.connect());
  Json::Value report = stopper.call(10, Json::Value(), "test-client", milliseconds(30000));
  load.join();

  EXPECT_TRUE(wholeSong) << synth.messages().size() << " of " << 2 * kNotes << " heard";
  // The stop report: each key pressed, in order, with its pitch name and a whole
  // number of milliseconds from the first beat.
  ASSERT_TRUE(report["data"].isObject()) << report;
  EXPECT_EQ(report["data"].getMemberNames(), std::vector<std::string>{"eventList"});
  const Json::Value& events = report["data"]["eventList"];
  ASSERT_EQ(events.size(), static_cast<unsigned>(kKeyPresses)) << report;
  const char* const names[] = {"C", "Csharp", "D", "Dsharp", "E", "F", "Fsharp", "G"};
  int last = -1;
  for (int k = 0; k < kKeyPresses; ++k) {
    const Json::Value& event = events[k];
    EXPECT_EQ(event["noteList"].size(), 1u) << event;
    EXPECT_EQ(event["noteList"][0]["pitch"], names[k]) << event;
    EXPECT_EQ(event["noteList"][0]["octave"], 3) << event;
    ASSERT_TRUE(event["time"].isIntegral()) << event;
    EXPECT_GT(event["time"].asInt(), last) << event;
    last = event["time"].asInt();
  }

  // Every request answered, by its own command, on its own connection.
  std::printf("requests sent %ld, answered right %ld, wrong %ld, unanswered %ld\n", tally.sent,
              tally.answered, tally.wrong, tally.unanswered);
  EXPECT_GT(tally.sent, static_cast<long>(kConnections) * 5);
  EXPECT_EQ(tally.answered, tally.sent);
  EXPECT_EQ(tally.wrong, 0);
  EXPECT_EQ(tally.unanswered, 0);
  EXPECT_EQ(tally.closed, 0);
  for (const std::string& fault : tally.faults) ADD_FAILURE() << fault;
  pool.close();

  EXPECT_TRUE(service.running());
  std::istringstream log(service.allLogs());
  std::string line;
  int errors = 0;
  while (std::getline(log, line)) {
    if (contains(line, "[ERROR]") && errors++ < 5) ADD_FAILURE() << line;
  }
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(service.stop(), 0);
}
