// Performances end to end on the real service: songs cached by the web application's
// commands, prepared (9), played (12) to a test synthesizer on a JACK server while a
// test keyboard plays along, and stopped (10) with the report of the keys pressed;
// on the 22050 Hz JACK rig.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
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
using std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

const char* const kPlaying = "THE DEVICE IS PLAYING MIDI FILE";
const char* const kNotFound = "NOT FOUND MIDI FILE";
const char* const kCalledOff = "CALLED OFF BEFORE ITS START TIME";

// Four tracks, division 480: a conductor track of meta events, drums on channel 9
// (first in the file), the melody on channel 0 with running status, a pitch bend and
// a SysEx, and a second channel-0 track with a controller and a program change.
// The song lasts 1920 ticks (1000 ms at tempo 240).
std::string performanceSong() {
  TestMidiFile song(1, 480);
  song.track().tempo(0, 100).text(0, "conductor");
  song.track().noteOn(0, 9, 42, 80).noteOff(480, 9, 42);
  song.track()
      .useRunningStatus()
      .noteOn(0, 0, 60, 100)
      .noteOn(0, 0, 64, 50)
      .noteOff(480, 0, 60)
      .noteOff(0, 0, 64)
      .pitchBend(480, 0, 16383)
      .sysEx(0, {0x7E, 0x7F, 0x09, 0x01})
      .noteOn(0, 0, 67, 100)
      .noteOn(960, 0, 67, 0);
  song.track().controller(0, 0, 7, 127).programChange(0, 0, 5);
  return song.bytes();
}

struct Expected {
  int offsetMs;
  Bytes bytes;
};

// What the synthesizer hears at accompaniment volume 100: the loudest note (100) at
// 127 and every third byte in proportion, pitch bend, program change, SysEx and a
// velocity 0 unchanged; at each time channel 9 first, then channel 0 in track order.
const std::vector<Expected> kPerformance = {
    {0, {0x99, 42, 101}},   {0, {0x90, 60, 127}},  {0, {0x90, 64, 63}},
    {0, {0xB0, 7, 127}},    {0, {0xC0, 5}},        {250, {0x89, 42, 81}},
    {250, {0x80, 60, 81}},  {250, {0x80, 64, 81}}, {500, {0xE0, 0x7F, 0x7F}},
    {500, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},   {500, {0x90, 67, 127}},
    {1000, {0x90, 67, 0}},
};

Json::Value reportOf(std::vector<std::pair<std::string, int>> notes, const Json::Value& times) {
  Json::Value data;
  data["eventList"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < notes.size(); ++i) {
    Json::Value element;
    element["noteList"][0]["pitch"] = notes[i].first;
    element["noteList"][0]["octave"] = notes[i].second;
    element["time"] = times[static_cast<int>(i)];
    data["eventList"].append(element);
  }
  return data;
}

const long kLong = 30000;  // ms an answer may take when a performance is in it

class Playback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Realtime where the system allows it, and 256-frame periods (11.6 ms): on a busy
    // machine a server that misses its cycles drops MIDI and stretches the captured
    // sound. The timing checks below allow for the quantum; bench/playback_bench
    // measures with short periods.
    rig_ = std::make_unique<TestRig>(TestRig::kindFromEnvironment(TestRig::Kind::Jack22050));
    ASSERT_TRUE(rig_->start());
    ASSERT_TRUE(rig_->startService());
    ASSERT_TRUE(rig_->connectWebApplication());
    ready_ = true;
  }
  static void TearDownTestSuite() { rig_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(ready_ && service().running());
    ASSERT_TRUE(client_.connect());
    ASSERT_TRUE(stopper_.connect());
    synth().clear();
  }
  void TearDown() override {
    stopper_.call(10);
    EXPECT_TRUE(service().running());
  }

  static TestSynth& synth() { return rig_->synth(); }
  static TestKeyboard& piano() { return rig_->keyboard(); }
  static TestAudioCapture& capture() { return rig_->capture(); }
  static TestService& service() { return rig_->service(); }

  Json::Value cache(int songId, const std::string& bytes) {
    return client_.call(6, cacheSongData(songId, bytes))["data"];
  }
  Json::Value countOff(const Excerpt& excerpt) { return client_.call(9, countOffData(excerpt)); }
  // Caches a song, prepares it from its start to endTime and plays it at once; the
  // excerpt it prepared.
  Excerpt playSong(int songId, const std::string& bytes, int endTime) {
    EXPECT_EQ(cache(songId, bytes)["code"], 0);
    Excerpt excerpt;
    excerpt.songId = songId;
    excerpt.endTime = endTime;
    EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
    EXPECT_EQ(play(startTimeText(milliseconds(0)))["responseCode"], 0);
    return excerpt;
  }
  Json::Value play(const std::string& startTime, int accompaniment = 100, int metronome = 0) {
    return client_.call(12, playData(startTime, accompaniment, metronome), "test-client",
                        milliseconds(kLong));
  }
  Json::Value stop() { return stopper_.call(10, Json::Value(), "test-client", milliseconds(kLong)); }

  static std::unique_ptr<TestRig> rig_;
  static bool ready_;
  TestClient client_;
  TestClient stopper_;  // the stop command arrives on a connection of its own
};

std::unique_ptr<TestRig> Playback::rig_;
bool Playback::ready_ = false;

}  // namespace

// Runs first, on a service that has prepared nothing yet.
TEST_F(Playback, BeforeAnySongStopReportsNothingAndPlayHasNothingToPlay) {
  EXPECT_EQ(stop()["data"], parseJson(R"({"eventList":[]})"));
  Json::Value answer = play(startTimeText(milliseconds(0)));
  EXPECT_EQ(answer["responseCode"], 2);
  EXPECT_EQ(answer["errorMessage"], kNotFound);
  EXPECT_EQ(synth().messages().size(), 0u);
}

TEST_F(Playback, CountOffAnswersTheExpectedLengthOrRefusesTheSong) {
  ASSERT_EQ(cache(1, performanceSong()), parseJson(R"({"code":0,"message":"SUCCESS"})"));
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = "90";
  Json::Value answer = countOff(excerpt);
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_EQ(answer["data"],
            parseJson(R"({"code":0,"duration":2662,"isSetDevice":1,"message":"SUCCESS"})"));
  excerpt.tempo = 90;  // a number, or text that starts with the digits, reads the same
  EXPECT_EQ(countOff(excerpt)["data"]["duration"], 2662);
  excerpt.tempo = "90 bpm";
  excerpt.startPosition = 3;
  EXPECT_EQ(countOff(excerpt)["data"]["duration"], 2996);
  excerpt.tempo = "72";
  excerpt.beats = 3;
  excerpt.startPosition = 1;
  EXPECT_EQ(countOff(excerpt)["data"]["duration"], 2499);

  const Json::Value notFound =
      parseJson(R"({"code":2,"duration":0,"isSetDevice":1,"message":"NOT FOUND MIDI FILE"})");
  excerpt = Excerpt();
  excerpt.songId = 1234;  // never cached
  answer = countOff(excerpt);
  EXPECT_EQ(answer["responseCode"], 2);
  EXPECT_EQ(answer["errorMessage"], kNotFound);
  EXPECT_EQ(answer["data"], notFound);

  // No beat can be timed: refused, not divided by zero.
  excerpt.songId = 1;
  for (const char* tempo : {"0", "-60", "fast"}) {
    excerpt.tempo = tempo;
    EXPECT_EQ(countOff(excerpt)["data"], notFound) << tempo;
  }
  excerpt.tempo = "120";
  excerpt.beatType = 0;
  EXPECT_EQ(countOff(excerpt)["data"], notFound);

  // Values no song can have are refused at once, like an unloadable song: a start
  // beat of two billion would be a count-off of as many words, a start position of
  // two billion a final stick of months, tempo 1 ticks of a minute.
  const std::vector<std::pair<const char*, std::function<void(Excerpt&)>>> impossible = {
      {"startBeat 2000000000 is outside 1..4", [](Excerpt& e) { e.startBeat = 2000000000; }},
      {"startBeat 0 is outside 1..4", [](Excerpt& e) { e.startBeat = 0; }},
      {"startPosition 2000000000 is outside 1..4",
       [](Excerpt& e) { e.startPosition = 2000000000; }},
      {"tempo 1 is outside 20..400", [](Excerpt& e) { e.tempo = "1"; }},
      {"tempo 100000 is outside 20..400", [](Excerpt& e) { e.tempo = 100000; }},
      {"beats 1000 is outside 1..64", [](Excerpt& e) { e.beats = 1000; }},
      {"beatType 1024 is outside 1..64", [](Excerpt& e) { e.beatType = 1024; }},
  };
  for (const auto& [fault, change] : impossible) {
    excerpt = Excerpt();
    excerpt.songId = 1;
    change(excerpt);
    auto sent = steady_clock::now();
    answer = countOff(excerpt);
    EXPECT_LT(steady_clock::now() - sent, milliseconds(2000)) << fault;
    EXPECT_EQ(answer["responseCode"], 2) << fault;
    EXPECT_EQ(answer["data"], notFound) << fault;
    EXPECT_TRUE(contains(service().log(),
                         std::string("[CvCountOffFlow] the song cannot be counted off: ") + fault))
        << fault;
    // Nothing of it is left to play.
    EXPECT_EQ(play(startTimeText(milliseconds(0)))["errorMessage"], kNotFound) << fault;
  }
  // The edges are songs.
  excerpt = Excerpt();
  excerpt.songId = 1;
  excerpt.tempo = "20";
  excerpt.endTime = 12000;  // the song's last event at this tempo
  excerpt.startBeat = 4;
  excerpt.startPosition = 4;
  EXPECT_EQ(countOff(excerpt)["data"]["duration"], 3 * 3000 + 3 * 750);
  excerpt.tempo = "400";
  EXPECT_EQ(countOff(excerpt)["data"]["duration"], 3 * 150 + 3 * 37);

  // A text where a number belongs: refused, and the data is left out.
  excerpt = Excerpt();
  excerpt.songId = 1;
  Json::Value data = countOffData(excerpt);
  data["startBeat"] = "one";
  answer = client_.call(9, data);
  EXPECT_EQ(answer["responseCode"], 2);
  EXPECT_TRUE(answer["data"].isNull()) << answer;
  EXPECT_TRUE(contains(service().log(), "[CvCountOffFlow] compose data error: "));

  // Prepared but never played: the stop command says so and changes nothing.
  excerpt = Excerpt();
  excerpt.songId = 1;
  ASSERT_EQ(countOff(excerpt)["responseCode"], 0);
  EXPECT_EQ(stop()["data"], parseJson(R"({"code":12,"message":"THE MIDI DID NOT PLAY YET"})"));
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
}

TEST_F(Playback, BrokenSongFilesAreRefusedAndTheServiceGoesOn) {
  TestMidiFile twoTracksInFormatZero(0, 480);
  twoTracksInFormatZero.track().noteOn(0, 0, 60, 100);
  twoTracksInFormatZero.track().noteOn(0, 0, 62, 100);
  TestMidiFile pastTheEnd(1, 480);
  pastTheEnd.track().noteOn(0, 0, 60, 100).declaredLength(100000);
  TestMidiFile noTracks(1, 480);
  noTracks.declaredTracks(0);
  TestMidiFile cyclingTracks(1, 480);
  cyclingTracks.track().noteOn(0, 0, 60, 100).declaredLength(0xFFFFFFF0u);
  cyclingTracks.declaredTracks(40000);
  TestMidiFile onlyMeta(1, 480);
  onlyMeta.track().tempo(0, 120).text(100, "no notes");
  std::string whole = performanceSong();

  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"header only", "MThd"},
      {"not MIDI", "RIFF\x24\x00\x00\x00WAVEfmt "},
      {"cut in the middle", whole.substr(0, whole.size() / 2)},
      {"format 0 with two tracks", twoTracksInFormatZero.bytes()},
      {"track past the end", pastTheEnd.bytes()},
      {"no tracks", noTracks.bytes()},
      {"track count and length that cycle", cyclingTracks.bytes()},
      {"nothing to play", onlyMeta.bytes()},
  };
  int songId = 500;
  for (const auto& file : files) {
    writeFileBytes(service().cachePath(std::to_string(++songId)), file.second);
    Excerpt excerpt;
    excerpt.songId = songId;
    Json::Value answer = countOff(excerpt);
    EXPECT_EQ(answer["responseCode"], 2) << file.first;
    EXPECT_EQ(answer["data"]["message"], kNotFound) << file.first;
    ASSERT_TRUE(service().running()) << file.first;
  }
  EXPECT_TRUE(contains(service().log(), "[CvMidiTaskPlayer] exeption when parse midi file"));
  EXPECT_TRUE(contains(service().log(),
                       "Parse FAIL, cvMidiTickEventsStarted == cvMidiTickEventsStoped"));
  // A refused song is not played by a play command after it.
  Json::Value answer = play(startTimeText(milliseconds(0)));
  EXPECT_EQ(answer["responseCode"], 2);
}

TEST_F(Playback, PerformanceSendsTheSongOnTimeAndReportsTheKeysAgainstTheBeat) {
  ASSERT_EQ(cache(1, performanceSong())["code"], 0);
  Excerpt excerpt;
  excerpt.songId = 1;
  ASSERT_EQ(countOff(excerpt)["data"]["duration"], kCountOffMs);

  const milliseconds ahead(400);
  steady_clock::time_point countOffStart;
  std::string startTime = startTimeText(ahead, &countOffStart);
  // The learner plays along: once between "go" and the first beat, three times after.
  const std::vector<std::pair<int, int>> presses = {{kGoMs + 100, 62}, {kCountOffMs + 100, 60},
                                                    {kCountOffMs + 300, 64},
                                                    {kCountOffMs + 610, 67}};
  std::thread learner([&] {
    for (const auto& press : presses) {
      std::this_thread::sleep_until(countOffStart + milliseconds(press.first));
      piano().noteOn(press.second, 90);
      piano().noteOff(press.second);
    }
  });
  Json::Value answer = play(startTime);
  learner.join();
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_EQ(answer["errorMessage"], "SUCCESS");

  // While it plays, nothing else may start.
  Json::Value refused = countOff(excerpt);
  EXPECT_EQ(refused["responseCode"], 7);
  EXPECT_EQ(refused["errorMessage"], kPlaying);
  EXPECT_EQ(play(startTimeText(milliseconds(0)))["errorMessage"], kPlaying);

  ASSERT_TRUE(synth().waitForCount(kPerformance.size(), milliseconds(5000)));
  // The song ends by itself; the report is still given.
  ASSERT_TRUE(eventually(
      [] { return contains(service().log(), "[CvMidiTaskPlayer] - DONE PLAY MIDI SONG"); }));
  std::vector<TestSynth::Message> heard = synth().messages();
  ASSERT_EQ(heard.size(), kPerformance.size());
  for (size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].bytes, rig_->delivered(kPerformance[i].bytes)) << "message " << i;
    auto offset = std::chrono::duration_cast<milliseconds>(heard[i].arrival - heard[0].arrival);
    EXPECT_NEAR(offset.count(), kPerformance[i].offsetMs, 40) << "message " << i;
  }
  // The first tick goes out ahead of the first beat by the sound output's latency, so
  // that the synthesizer's note meets the click there; it arrives with the next cycle.
  const std::string log = service().log();
  auto loggedFrames = [&](const std::string& before) {
    size_t at = log.find(before);
    return at == std::string::npos ? -1.0 : std::stod(log.substr(at + before.size()));
  };
  const double periodFrames = loggedFrames("stream open: " + std::to_string(rig_->sampleRate()) + " Hz, ");
  const double latencyFrames = loggedFrames("output latency ");
  ASSERT_GT(periodFrames, 0) << log;
  ASSERT_GE(latencyFrames, 0) << log;
  const double latencyMs = latencyFrames * 1000.0 / rig_->sampleRate();
  const double periodMs = periodFrames * 1000.0 / rig_->sampleRate();
  const double sent =
      std::chrono::duration<double, std::milli>(heard[0].arrival - countOffStart).count();
  EXPECT_GT(sent, kCountOffMs - latencyMs - 5);
  EXPECT_LT(sent, kCountOffMs - latencyMs + periodMs + 5)
      << "output latency " << latencyMs << " ms, period " << periodMs << " ms";

  Json::Value report = stop()["data"];
  ASSERT_EQ(report["eventList"].size(), presses.size()) << report;
  Json::Value times(Json::arrayValue);
  for (size_t i = 0; i < presses.size(); ++i) {
    int time = report["eventList"][static_cast<int>(i)]["time"].asInt();
    EXPECT_NEAR(time, presses[i].first - kCountOffMs, 60) << report;
    times.append(time);
  }
  EXPECT_LT(times[0].asInt(), 0);
  EXPECT_EQ(report, reportOf({{"D", 4}, {"C", 4}, {"E", 4}, {"G", 4}}, times));
  // The report emptied the recording.
  EXPECT_EQ(stop()["data"], parseJson(R"({"eventList":[]})"));

  // The same prepared song plays again without a new count-off.
  synth().clear();
  EXPECT_EQ(play(startTimeText(milliseconds(0)))["responseCode"], 0);
  EXPECT_TRUE(synth().waitForCount(kPerformance.size(), milliseconds(5000)));
}

TEST_F(Playback, StopDuringTheCountOffEndsEverything) {
  ASSERT_EQ(cache(1, performanceSong())["code"], 0);
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = "20";  // a tick every three seconds: the count-off lasts 12 s
  excerpt.endTime = 12000;
  ASSERT_EQ(countOff(excerpt)["responseCode"], 0);

  Json::Value report;
  steady_clock::time_point stopSent;
  std::thread stopping([&] {
    std::this_thread::sleep_for(milliseconds(1000));
    stopSent = steady_clock::now();
    report = stop();
  });
  Json::Value answer = play(startTimeText(milliseconds(0)));
  auto answered = steady_clock::now();
  stopping.join();
  // The beat being held ends within moments of the stop, not at the next tick (2 s
  // later).
  auto afterStop = std::chrono::duration_cast<milliseconds>(answered - stopSent).count();
  std::printf("play answered %lld ms after the stop was sent\n", static_cast<long long>(afterStop));
  EXPECT_LT(afterStop, 1000);
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_EQ(report["data"], parseJson(R"({"eventList":[]})"));
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(synth().messages().size(), 0u);
  EXPECT_TRUE(contains(service().log(), "[CvCountOffSound::PlayCountOff] - BREAK BECAUSE IS_PLAY_MUSIC=FALSE"));
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
}

TEST_F(Playback, StopDuringALongRestEndsItAtOnce) {
  TestMidiFile song(1, 480);
  song.track().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).noteOn(15360, 0, 62, 100);  // 8 s rest
  Excerpt excerpt = playSong(2, song.bytes(), 9000);
  ASSERT_TRUE(synth().waitForCount(2, milliseconds(3000)));

  // Inside the rest the performance is still on. The service's own output port is
  // open now, and is not offered as a keyboard.
  TestClient tester;
  ASSERT_TRUE(tester.connect());
  EXPECT_EQ(tester.call(8)["data"]["code"], 6);
  std::string devices = Json::FastWriter().write(tester.call(3)["data"]);
  EXPECT_TRUE(contains(devices, piano().name())) << devices;
  EXPECT_FALSE(contains(devices, "Piano Corvida Plugin Output")) << devices;
  EXPECT_EQ(countOff(excerpt)["responseCode"], 7);

  EXPECT_TRUE(stop()["data"].isMember("eventList"));
  auto stopped = steady_clock::now();
  // The accompaniment wakes at once, and the song can be prepared again right away.
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
  EXPECT_LT(steady_clock::now() - stopped, milliseconds(2000));
  EXPECT_TRUE(contains(service().log(), "CvMidiTaskPlayer::PlayBack() -- BREAK BECAUSE TIMEOUT"));
  EXPECT_EQ(synth().messages().size(), 2u);
}

// The diagnostics page's key test (27, 28) or a stop of a test (18) arriving in the
// middle of a song must neither empty the learner's recording nor switch its capture.
TEST_F(Playback, DeviceTestCommandsDuringAPerformanceLeaveTheRecordingAlone) {
  ASSERT_EQ(cache(1, performanceSong())["code"], 0);
  Excerpt excerpt;
  excerpt.songId = 1;
  ASSERT_EQ(countOff(excerpt)["responseCode"], 0);
  TestClient tester;
  ASSERT_TRUE(tester.connect());
  const Json::Value refused = parseJson(R"({"code":6,"message":"PLAY MP3 FILE ERROR"})");
  auto expectRefused = [&](const char* when) {
    for (int code : {27, 28, 18}) {
      Json::Value answer = tester.call(code, parseJson(R"({"reason":"page"})"));
      EXPECT_EQ(answer["responseCode"], 0) << when << " " << code;
      EXPECT_EQ(answer["data"], refused) << when << " " << code;
    }
  };

  // Waiting for its start time, then playing with nothing but the recording (volumes
  // 0): it plays until stopped.
  Json::Value answer;
  std::thread player([&] { answer = play(startTimeText(milliseconds(1500)), 0, 0); });
  std::this_thread::sleep_for(milliseconds(500));
  expectRefused("waiting");
  player.join();
  ASSERT_EQ(answer["responseCode"], 0);

  piano().noteOn(60, 90);
  expectRefused("playing");
  piano().noteOn(62, 90);
  std::this_thread::sleep_for(milliseconds(300));  // 18's cancel would settle by now
  piano().noteOn(64, 90);
  EXPECT_EQ(tester.call(29)["data"]["code"], -1);  // no device test runs
  piano().noteOn(65, 90);
  std::this_thread::sleep_for(milliseconds(200));  // a JACK period or two to arrive
  Json::Value report = stop()["data"];
  ASSERT_EQ(report["eventList"].size(), 4u) << report;
  Json::Value times(Json::arrayValue);
  for (const Json::Value& element : report["eventList"]) times.append(element["time"]);
  EXPECT_EQ(report, reportOf({{"C", 4}, {"D", 4}, {"E", 4}, {"F", 4}}, times));

  // Once the performance is over the polling test works again.
  EXPECT_EQ(tester.call(27)["data"], parseJson(R"({"code":0,"message":"SUCCESS"})"));
  piano().noteOn(67, 100);
  ASSERT_TRUE(eventually([&] { return tester.call(29)["data"]["code"] == 0; },
                         milliseconds(2000)));
  EXPECT_EQ(tester.call(28)["data"], parseJson(R"({"code":0,"message":"SUCCESS"})"));
}

TEST_F(Playback, StartTimesAreWaitedForAndABadOneLeavesTheServiceFree) {
  ASSERT_EQ(cache(1, performanceSong())["code"], 0);
  Excerpt excerpt;
  excerpt.songId = 1;
  ASSERT_EQ(countOff(excerpt)["responseCode"], 0);

  Json::Value answer = play("2015-13-01T10:00:00");
  EXPECT_EQ(answer["responseCode"], 2);
  EXPECT_EQ(answer["errorMessage"], "Month number is out of range 1..12");
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);  // nothing waits for that start
  Json::Value odd = playData(startTimeText(milliseconds(0)), 100, 0);
  odd["accompanimentVolume"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(client_.call(12, odd)["responseCode"], 2);
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);

  // A start time in the past, or written with a blank (midnight), plays at once:
  // the answer comes after the count-off. Nothing sounds at volumes 0.
  std::string todayWithBlank = startTimeText(milliseconds(0));
  todayWithBlank[10] = ' ';
  for (const std::string& past : {std::string("2015-08-19T16:53:51.250"), todayWithBlank}) {
    auto sent = steady_clock::now();
    EXPECT_EQ(play(past, 0, 0)["responseCode"], 0) << past;
    auto took = steady_clock::now() - sent;
    EXPECT_GE(took, milliseconds(kCountOffMs - 50)) << past;
    EXPECT_LT(took, milliseconds(kCountOffMs + 2000)) << past;
    EXPECT_EQ(stop()["data"], parseJson(R"({"eventList":[]})"));
  }

  // A start time hours ahead (local time sent as UTC) is refused at once and holds
  // nothing; a minute ahead is the furthest.
  for (auto ahead : {milliseconds(3 * 3600 * 1000), milliseconds(61000)}) {
    auto sent = steady_clock::now();
    answer = play(startTimeText(ahead));
    EXPECT_LT(steady_clock::now() - sent, milliseconds(2000));
    EXPECT_EQ(answer["responseCode"], 2);
    EXPECT_EQ(answer["errorMessage"], "START TIME IS MORE THAN 60 SECONDS AHEAD");
    EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
  }

  // While the play command waits for a start 50 s ahead, a stop, the end of the
  // session or the web application leaving (PerformanceFaultTest) calls it off at
  // once: the play command answers that nothing was played, and the command lock is
  // free again.
  for (int ending : {10, 25}) {
    SCOPED_TRACE(ending == 10 ? "stop" : "end of session");
    Json::Value ended;
    steady_clock::time_point endSent;
    std::thread ender([&] {
      std::this_thread::sleep_for(milliseconds(500));
      endSent = steady_clock::now();
      ended = stopper_.call(ending, Json::Value(), "test-client", milliseconds(kLong));
    });
    answer = play(startTimeText(milliseconds(50000)));
    auto answered = steady_clock::now();
    ender.join();
    EXPECT_LT(answered - endSent, milliseconds(1000));
    EXPECT_EQ(answer["responseCode"], 12);
    EXPECT_EQ(answer["errorMessage"], kCalledOff);
    if (ending == 10) {
      EXPECT_EQ(ended["data"], parseJson(R"({"eventList":[]})"));
    }
    EXPECT_EQ(stop()["data"], parseJson(R"({"eventList":[]})"));
    auto sent = steady_clock::now();
    EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
    EXPECT_LT(steady_clock::now() - sent, milliseconds(2000));
  }
  EXPECT_TRUE(contains(service().log(),
                       "[CvPlayMidiFlow] performance called off while waiting for its start"));
  std::this_thread::sleep_for(milliseconds(kCountOffMs + 500));
  EXPECT_EQ(synth().messages().size(), 0u);

  // A start a little ahead is still waited for.
  auto sent = steady_clock::now();
  EXPECT_EQ(play(startTimeText(milliseconds(1500)), 0, 0)["responseCode"], 0);
  EXPECT_GE(steady_clock::now() - sent, milliseconds(1500 + kCountOffMs - 50));
  EXPECT_EQ(stop()["data"], parseJson(R"({"eventList":[]})"));
}

TEST_F(Playback, CountOffWordsAndMetronomeClicksReachTheAudioGraphOnTheBeat) {
  ASSERT_EQ(cache(1, performanceSong())["code"], 0);
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = "120";  // ticks of 500 ms: every word ends before the next begins
  ASSERT_EQ(countOff(excerpt)["data"]["duration"], 2000);
  capture().clear();

  // Metronome only: four words a tick apart, then one click per beat of the excerpt
  // (measure 1, beats 1 to 4), on the accompaniment's beat.
  const milliseconds ahead(400);
  auto countOffStart = steady_clock::now() + ahead;
  ASSERT_EQ(play(startTimeText(ahead), 0, 50)["responseCode"], 0);
  std::this_thread::sleep_for(milliseconds(4 * 500 + 500));
  std::vector<int> onsets;
  for (auto onset : capture().onsets(0.02f, milliseconds(60))) {
    onsets.push_back(static_cast<int>(
        std::chrono::duration_cast<milliseconds>(onset - countOffStart).count()));
  }
  const std::vector<int> due = {0, 500, 1000, 1500, 2000, 2500, 3000, 3500};
  ASSERT_EQ(onsets.size(), due.size()) << ::testing::PrintToString(onsets);
  // Within a few periods of the beat; opening a stream on the beat would be late by
  // 50 to 200 ms.
  for (size_t i = 0; i < due.size(); ++i) EXPECT_NEAR(onsets[i], due[i], 70) << i;
  EXPECT_EQ(synth().messages().size(), 0u);

  // Nothing ends a metronome-only performance but the stop command.
  EXPECT_EQ(countOff(excerpt)["responseCode"], 7);
  EXPECT_EQ(stop()["data"], parseJson(R"({"eventList":[]})"));
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
}

TEST_F(Playback, EndingTheSessionLetsTheSongPlayOnInTime) {
  TestMidiFile song(0, 480);  // format 0: one track
  song.track().noteOn(0, 0, 60, 100).noteOff(480, 0, 60).noteOn(480, 0, 62, 100).noteOff(
      7680, 0, 62);  // 250 ms, 500 ms, then 4 s later
  Excerpt excerpt = playSong(3, song.bytes(), 5000);
  ASSERT_TRUE(synth().waitForCount(1, milliseconds(2000)));
  EXPECT_EQ(client_.call(25)["responseCode"], 0);

  // The rest of the song keeps its times instead of going out at once, and no other
  // song is loaded under it.
  ASSERT_TRUE(synth().waitForCount(3, milliseconds(2000)));
  std::vector<TestSynth::Message> heard = synth().messages();
  auto at = [&](size_t i) {
    return std::chrono::duration_cast<milliseconds>(heard[i].arrival - heard[0].arrival).count();
  };
  EXPECT_NEAR(at(1), 250, 40);
  EXPECT_NEAR(at(2), 500, 40);
  EXPECT_EQ(countOff(excerpt)["responseCode"], 7);
  EXPECT_EQ(play(startTimeText(milliseconds(0)))["responseCode"], 7);
  EXPECT_EQ(heard.size(), 3u);
  EXPECT_TRUE(stop()["data"].isMember("eventList"));
}

// Last: it takes the synthesizer away.
TEST_F(Playback, WithoutASynthesizerNothingIsPlayedIntoTheKeyboardInputOrAThroughPort) {
  ASSERT_EQ(cache(1, performanceSong())["code"], 0);
  ASSERT_TRUE(synth().unplug());
  // The MIDI destinations left are the service's own keyboard input and a through port,
  // as ALSA's "Midi Through" appears on JACK: neither makes a sound.
  TestSynth through(rig_->jack(), "Midi Through", "Midi Through Port-0");
  ASSERT_TRUE(through.plug());
  Excerpt excerpt;
  excerpt.songId = 1;
  Json::Value answer = countOff(excerpt);
  EXPECT_EQ(answer["responseCode"], 2);
  EXPECT_EQ(answer["data"]["message"], kNotFound);
  EXPECT_TRUE(contains(service().log(), "[CvMidiTaskPlayer] RtMidiout have not output port"));
  // Without a SoundFont, the log said once what to install.
  const std::string log = service().log();
  const char* const missing = "[BuiltInSynthesizer] no General MIDI SoundFont";
  EXPECT_NE(log.find(missing), std::string::npos);
  EXPECT_EQ(log.find(missing), log.rfind(missing));

  // Other programs built on the MIDI library with its default client names, a
  // software synthesizer and a software keyboard, are no ports of the service's own:
  // the synthesizer is played to, the keyboard is offered.
  TestSynth softSynth(rig_->jack(), "RtMidi Input Client", "RtMidi Input");
  ASSERT_TRUE(softSynth.plug());
  TestKeyboard softKeyboard(rig_->jack(), "RtMidi Output Client", "RtMidi Output");
  ASSERT_TRUE(softKeyboard.plug());
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
  Json::Value devices = client_.call(3)["data"];
  EXPECT_TRUE(contains(Json::FastWriter().write(devices), softKeyboard.name())) << devices;
  auto songsDone = [] {
    const std::string text = service().log();
    size_t count = 0;
    for (size_t at = 0; (at = text.find("DONE PLAY MIDI SONG", at)) != std::string::npos; ++at) ++count;
    return count;
  };
  const size_t done = songsDone();
  EXPECT_EQ(play(startTimeText(milliseconds(0)))["responseCode"], 0);
  EXPECT_TRUE(softSynth.waitForCount(kPerformance.size(), milliseconds(5000)));
  // The song ends by itself and closes the port.
  ASSERT_TRUE(eventually([&] { return songsDone() > done; }));
  ASSERT_TRUE(softSynth.unplug());

  ASSERT_TRUE(synth().plug());
  EXPECT_EQ(countOff(excerpt)["responseCode"], 0);
  EXPECT_TRUE(through.messages().empty());
}

TEST_F(Playback, AfterAHiccupLateTicksGoOutAtOnceAndTheSongCatchesUp) {
  // 40 notes 10 ticks (5.2 ms) apart. The service is frozen for 150 ms right after the
  // first: every tick due meanwhile is late, and goes out at once on waking; a late
  // tick that still waited 10 ms would end the run 400 ms late.
  TestMidiFile song(0, 480);
  TestMidiFile::Track& track = song.track();
  for (int n = 0; n < 40; ++n) track.noteOn(n == 0 ? 0 : 10, 0, 40 + n, 100);
  playSong(4, song.bytes(), 1000);
  ASSERT_TRUE(synth().waitForCount(1, milliseconds(3000)));
  ::kill(service().pid(), SIGSTOP);
  std::this_thread::sleep_for(milliseconds(150));
  ::kill(service().pid(), SIGCONT);
  ASSERT_TRUE(synth().waitForCount(40, milliseconds(3000)));
  std::vector<TestSynth::Message> heard = synth().messages();
  auto span = std::chrono::duration_cast<milliseconds>(heard.back().arrival - heard.front().arrival);
  EXPECT_LT(span.count(), 150 + 120);
  EXPECT_EQ(heard.back().bytes, (Bytes{0x90, 79, 127}));
}

// An empty SysEx escape (F7 00) before a note of the same instant: the escape sends
// nothing, and the note goes out once, not once for each time the instant was filed.
TEST_F(Playback, AnEmptySysExEscapeSendsNothingAndRepeatsNothing) {
  TestMidiFile song(0, 480);
  song.track()
      .noteOn(0, 0, 60, 100)
      .raw({0x83, 0x60, 0xF7, 0x00})  // 480 ticks later (250 ms), an escape of no bytes
      .noteOn(0, 0, 62, 100)
      .noteOff(480, 0, 62);
  playSong(5, song.bytes(), 1000);
  ASSERT_TRUE(synth().waitForCount(3, milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(500));
  std::vector<Bytes> heard;
  for (const TestSynth::Message& message : synth().messages()) heard.push_back(message.bytes);
  EXPECT_EQ(heard, (std::vector<Bytes>{{0x90, 60, 127}, {0x90, 62, 127}, {0x80, 62, 81}}));
}
