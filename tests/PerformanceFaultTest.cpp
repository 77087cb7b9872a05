// Faults during a performance on the real service, on the 22050 Hz JACK rig: the
// keyboard unplugged and plugged back, the web application going away, the service
// stopped by SIGTERM and the JACK server ending. Through each the service must keep
// answering with well-formed answers, lose no report and play again afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/DeviceChecks.h"
#include "tests/support/PerformanceRequests.h"
#include "tests/support/TestAudioCapture.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestRig.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

using std::chrono::milliseconds;

const long kLong = 30000;  // ms an answer may take when a performance is in it
const int kSongId = 7;

// notes quarter notes at tempo 240 (250 ms each), each ended before the next: two
// messages per note, the last Note Off at notes x 250 ms.
std::string songOf(int notes) {
  TestMidiFile song(0, 480);
  TestMidiFile::Track& track = song.track();
  for (int n = 0; n < notes; ++n) track.noteOn(0, 0, 48 + n, 100).noteOff(480, 0, 48 + n);
  return song.bytes();
}
const int kLongNotes = 24;  // 6 s: long enough for a fault and a recovery inside it

// Whether data is a performance report: an "eventList" array whose elements each hold
// exactly one note (pitch name and octave) and a whole-ms time. The notes, as "C4",
// go to notes.
::testing::AssertionResult isReport(const Json::Value& data, std::vector<std::string>* notes) {
  notes->clear();
  if (!data.isObject() || data.size() != 1 || !data["eventList"].isArray()) {
    return ::testing::AssertionFailure() << "not a report: " << data;
  }
  for (const Json::Value& element : data["eventList"]) {
    const Json::Value& list = element["noteList"];
    if (element.size() != 2 || !element["time"].isInt() || !list.isArray() || list.size() != 1 ||
        !list[0]["pitch"].isString() || !list[0]["octave"].isInt()) {
      return ::testing::AssertionFailure() << "bad element: " << element;
    }
    notes->push_back(list[0]["pitch"].asString() + std::to_string(list[0]["octave"].asInt()));
  }
  return ::testing::AssertionSuccess();
}

class PerformanceFault : public ::testing::Test {
 protected:
  void SetUp() override {
    // As the playback tests run it (realtime where allowed, 256-frame periods),
    // listening to the sound.
    TestRig::Settings settings;
    settings.kind = TestRig::kindFromEnvironment(TestRig::Kind::Jack22050);
    rig_ = std::make_unique<TestRig>(settings);
    ASSERT_TRUE(rig_->start());
    ASSERT_TRUE(rig_->startService());
    ASSERT_TRUE(rig_->connectWebApplication());
    ASSERT_TRUE(client_.connect());
    ASSERT_EQ(client_.call(6, cacheSongData(kSongId, songOf(kLongNotes)))["data"]["code"], 0);
  }
  void TearDown() override {
    if (HasFailure() && rig_) {
      std::fprintf(stderr, "--- service log\n%s\n", service().log().c_str());
    }
    rig_.reset();
  }

  TestSynth& synth() { return rig_->synth(); }
  TestKeyboard& piano() { return rig_->keyboard(); }
  TestService& service() { return rig_->service(); }

  // Prepares the cached song up to endTime and plays it from now; the play answer.
  Json::Value startSong(TestClient& client, int endTime, const std::string& tempo = "240") {
    Excerpt excerpt;
    excerpt.songId = kSongId;
    excerpt.tempo = tempo;
    excerpt.endTime = endTime;
    EXPECT_EQ(client.call(9, countOffData(excerpt))["responseCode"], 0);
    return client.call(12, playData(startTimeText(milliseconds(0)), 100, 0), "test-client",
                       milliseconds(kLong));
  }
  // A stop sent on a connection of its own, as a reloaded web application would.
  Json::Value stopFromNewClient() {
    TestClient stopper;
    if (!stopper.connect()) return Json::Value();
    return stopper.call(10, Json::Value(), "test-client", milliseconds(kLong));
  }
  void press(int note) {
    piano().noteOn(note, 90);
    piano().noteOff(note);
  }
  // A whole performance: played, one key pressed, every message heard, and the key in
  // the stop's report.
  void expectPerformanceWorks() {
    synth().clear();
    rig_->capture().clear();
    TestClient client;
    ASSERT_TRUE(client.connect());
    ASSERT_EQ(startSong(client, 1000)["responseCode"], 0);
    press(62);
    EXPECT_TRUE(synth().waitForCount(8, milliseconds(5000))) << synth().messages().size();
    // The count-off was heard (its quick words run together): the sound output came
    // back with the server.
    EXPECT_GT(rig_->capture().peak(), 0.05f);
    std::vector<std::string> notes;
    EXPECT_TRUE(isReport(stopFromNewClient()["data"], &notes));
    EXPECT_EQ(notes, std::vector<std::string>{"D4"});
  }

  std::unique_ptr<TestRig> rig_;
  TestClient client_;
};

}  // namespace

TEST_F(PerformanceFault, KeyboardUnpluggedAndPluggedBackMidSongKeepsThePlayingAndTheNotes) {
  ASSERT_EQ(startSong(client_, kLongNotes * 250)["responseCode"], 0);
  press(60);
  const char* const portGone = "cvMidiIn.getPortCount = 0 -- cvMidiIn port is open";
  size_t goneBefore = countOf(service().output(), portGone);
  piano().release();
  ASSERT_TRUE(eventually([&] { return countOf(service().output(), portGone) > goneBefore; }))
      << "the service did not see the keyboard go";
  ASSERT_TRUE(piano().plug());
  ASSERT_TRUE(eventually([this] { return rig_->serviceListensToKeyboard(); }));
  press(64);

  // The whole song is heard: the keyboard going did not stop the accompaniment.
  EXPECT_TRUE(synth().waitForCount(2 * kLongNotes, milliseconds(10000)))
      << synth().messages().size();
  std::vector<std::string> notes;
  EXPECT_TRUE(isReport(stopFromNewClient()["data"], &notes));
  EXPECT_EQ(notes, (std::vector<std::string>{"C4", "E4"}));
  EXPECT_TRUE(service().running());
}

TEST_F(PerformanceFault, WebApplicationLeavingStopsThePerformanceAndTheServiceGoesOn) {
  // During the count-off (a tick every two seconds): the play command still answers,
  // nothing plays, and a stop from a new connection reports an empty recording. The
  // service hears of the leaving once the client has closed its side of the socket,
  // which a loaded machine can take seconds to get to: the count-off leaves 6.5 s.
  Json::Value answer;
  std::thread player([&] {
    TestClient client;
    ASSERT_TRUE(client.connect());
    answer = startSong(client, kLongNotes * 250, "30");
  });
  std::this_thread::sleep_for(milliseconds(1500));
  rig_->webApplication().close();
  player.join();
  EXPECT_EQ(answer["responseCode"], 0) << answer;
  std::vector<std::string> notes;
  EXPECT_TRUE(isReport(stopFromNewClient()["data"], &notes));
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(synth().messages().size(), 0u);

  // While the play command waits for a start time 50 s ahead: the wait ends at once,
  // the play command answers that the performance was called off, and nothing plays.
  // Reconnecting finds the service free.
  ASSERT_TRUE(rig_->connectWebApplication());
  Excerpt excerpt;
  excerpt.songId = kSongId;
  ASSERT_EQ(client_.call(9, countOffData(excerpt))["responseCode"], 0);
  std::chrono::steady_clock::time_point answered;
  player = std::thread([&] {
    TestClient client;
    ASSERT_TRUE(client.connect());
    answer = client.call(12, playData(startTimeText(milliseconds(50000)), 100, 0), "test-client",
                         milliseconds(kLong));
    answered = std::chrono::steady_clock::now();
  });
  std::this_thread::sleep_for(milliseconds(500));
  auto left = std::chrono::steady_clock::now();
  rig_->webApplication().close();
  player.join();
  // The port monitor notices within a pass (50 ms).
  EXPECT_LT(answered - left, milliseconds(1500));
  EXPECT_EQ(answer["responseCode"], 12) << answer;
  EXPECT_EQ(answer["errorMessage"], "CALLED OFF BEFORE ITS START TIME") << answer;
  ASSERT_TRUE(rig_->connectWebApplication());
  EXPECT_TRUE(isReport(stopFromNewClient()["data"], &notes));
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(client_.call(9, countOffData(excerpt))["responseCode"], 0);
  std::this_thread::sleep_for(milliseconds(kCountOffMs + 500));
  EXPECT_EQ(synth().messages().size(), 0u);

  // During the accompaniment: it stops, and the keys pressed before are reported.
  ASSERT_EQ(startSong(client_, kLongNotes * 250)["responseCode"], 0);
  ASSERT_TRUE(synth().waitForCount(2, milliseconds(3000)));
  press(60);
  std::this_thread::sleep_for(milliseconds(100));
  rig_->webApplication().close();
  std::this_thread::sleep_for(milliseconds(1000));
  size_t heard = synth().messages().size();
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(synth().messages().size(), heard);
  EXPECT_LT(heard, 2u * kLongNotes);
  EXPECT_TRUE(isReport(stopFromNewClient()["data"], &notes));
  EXPECT_EQ(notes, std::vector<std::string>{"C4"});

  ASSERT_TRUE(rig_->connectWebApplication());
  expectPerformanceWorks();
}

TEST_F(PerformanceFault, SigtermMidSongEndsCleanlyAndARestartPlaysTheCachedSong) {
  ASSERT_EQ(startSong(client_, kLongNotes * 250)["responseCode"], 0);
  ASSERT_TRUE(synth().waitForCount(2, milliseconds(3000)));
  press(60);
  EXPECT_EQ(service().stop(milliseconds(10000)), 0);
  EXPECT_TRUE(contains(service().log(), "[ServiceStatus] state 1, controls accepted 0"));
  EXPECT_EQ(sqlQuery(service().databasePath(), "PRAGMA integrity_check"), "ok");

  // The same install folder: the song is still cached, the keyboard still known.
  ASSERT_TRUE(service().start());
  ASSERT_TRUE(rig_->connectWebApplication(std::chrono::seconds(10)));
  expectPerformanceWorks();
}

TEST_F(PerformanceFault, JackServerEndingIdleOrMidPerformanceIsSurvivedAndANewServerIsUsed) {
  enum Moment { kIdle, kCountOff, kMidSong };
  for (Moment moment : {kIdle, kCountOff, kMidSong}) {
    SCOPED_TRACE(moment == kIdle ? "idle" : moment == kCountOff ? "count-off" : "mid-song");
    Json::Value answer;
    std::thread player;
    if (moment == kCountOff) {  // a tick a second: the words' audio is open
      player = std::thread([&] { answer = startSong(client_, kLongNotes * 250, "60"); });
      std::this_thread::sleep_for(milliseconds(1500));
    } else if (moment == kMidSong) {
      ASSERT_EQ(startSong(client_, kLongNotes * 250)["responseCode"], 0);
      ASSERT_TRUE(synth().waitForCount(2, milliseconds(3000)));
      press(60);
      std::this_thread::sleep_for(milliseconds(100));
    }
    rig_->stopServer();
    if (player.joinable()) {
      player.join();
      EXPECT_EQ(answer["responseCode"], 0) << answer;
    }
    // libjack frees the clients of an ended server at the next client it opens: the
    // rig's own go first, before a new server is reached.
    rig_->dropClients();

    // Commands keep answering: no keyboard is left, and a stop still reports.
    TestClient client;
    ASSERT_TRUE(client.connect());
    Json::Value devices = client.call(3, Json::Value(), "test-client", milliseconds(kLong));
    EXPECT_EQ(devices["data"], Json::Value(Json::arrayValue)) << devices;
    std::vector<std::string> notes;
    EXPECT_TRUE(isReport(stopFromNewClient()["data"], &notes));
    EXPECT_EQ(notes, moment == kMidSong ? std::vector<std::string>{"C4"}
                                        : std::vector<std::string>{});
    ASSERT_TRUE(service().running());

    // A new server: the service finds the keyboard on it and plays to it.
    ASSERT_TRUE(rig_->restartServer());
    ASSERT_TRUE(eventually([this] { return rig_->serviceListensToKeyboard(); },
                           std::chrono::seconds(10)));
    expectPerformanceWorks();
  }
}
