// A long lesson: 200 short performances one after another (count-off, accompaniment
// and metronome, stop) on the 22050 Hz JACK rig, once with the accompaniment going to
// the rig's test synthesizer and once through the built-in synthesizer. The service's
// resident memory is read after each performance and must level off: what a
// performance leaves behind, a lesson of hundreds would pile up. The bound is loose
// (the machine is shared); the figures are printed.
#include <gtest/gtest.h>

#include <json/writer.h>  // prints Json::Value in failure messages

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PerformanceRequests.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestClientPool.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestRig.h"
#include "tests/support/TestService.h"

namespace {

using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator keeps freed blocks in quarantine and ignores the service's
// allocator settings: its figures say nothing about the allocator learners run, and
// only the performances themselves are checked, fewer of them.
const int kPerformances = 20;
const bool kMemoryChecked = false;
#else
const int kPerformances = 200;
const bool kMemoryChecked = true;
#endif
const int kCompared = kPerformances / 2;  // the growth is taken over the last ones
const long kMostGrowthKilobytes = 2048;
// At tempo 400 a quarter note lasts 150 ms: the count-off takes about 600 ms and the
// metronome clicks the excerpt's first two beats.
const char* const kFastTempo = "400";
const int kBeatMs = 150;

// A beat of chords on channel 1 and a drum note on channel 10.
std::string shortSong() {
  TestMidiFile file(1, 480);
  TestMidiFile::Track& track = file.track();
  track.programChange(0, 0, 0);
  for (int eighth = 0; eighth < 4; ++eighth) {
    track.noteOn(0, 0, 60, 90).noteOn(0, 0, 64, 90).noteOn(0, 9, 42, 100);
    track.noteOff(120, 0, 60).noteOff(0, 0, 64).noteOff(0, 9, 42);
  }
  return file.bytes();
}

Json::Value shortExcerpt() {
  Excerpt excerpt;
  excerpt.songId = 1;
  excerpt.tempo = kFastTempo;
  excerpt.endTime = 2 * kBeatMs;
  Json::Value data = countOffData(excerpt);
  data["endBeat"] = 2;
  return data;
}

class MemorySoak : public ::testing::Test {
 protected:
  void soak(TestService::SoundFonts soundFonts) {
    TestRig::Settings settings;
    settings.capture = false;
    TestRig rig(settings);
    ASSERT_TRUE(rig.start());
    rig.service().setSoundFonts(soundFonts);
    ASSERT_TRUE(rig.startService());
    ASSERT_TRUE(rig.connectWebApplication());
    // Every event-loop thread runs a command first, so the stack pages that costs (a
    // few KiB a thread) are in the first figure and not in the growth.
    {
      TestClientPool warm;
      warm.connect(20);
      warm.run([](size_t, size_t) { return std::string(R"({"methodName":1})"); },
               [](const std::string&, const std::string&) { return std::string(); },
               milliseconds(3000), milliseconds(0));
    }
    TestClient client;
    ASSERT_TRUE(client.connect());
    ASSERT_EQ(client.call(6, cacheSongData(1, shortSong()))["data"]["code"], 0);

    std::vector<long> resident = {rig.service().residentKilobytes()};
    for (int n = 1; n <= kPerformances; ++n) {
      Json::Value prepared = client.call(9, shortExcerpt());
      ASSERT_EQ(prepared["responseCode"], 0) << "performance " << n << ": " << prepared;
      Json::Value played = client.call(12, playData(startTimeText(milliseconds(80)), 100, 80),
                                       "test-client", milliseconds(10000));
      ASSERT_EQ(played["responseCode"], 0) << "performance " << n << ": " << played;
      // The play answer comes with the first beat: the accompaniment and the clicks
      // sound to the excerpt's end before the stop.
      std::this_thread::sleep_for(milliseconds(2 * kBeatMs + 50));
      Json::Value stopped = client.call(10);
      ASSERT_EQ(stopped["responseCode"], 0) << "performance " << n << ": " << stopped;
      resident.push_back(rig.service().residentKilobytes());
    }

    std::printf("VmRSS after performances (KiB):");
    for (size_t n = 0; n < resident.size(); n += 10) {
      std::printf("%s %zu: %ld", n % 100 == 0 ? "\n " : ",", n, resident[n]);
    }
    const long lastGrowth = resident.back() - resident[kPerformances - kCompared];
    std::printf("\ngrowth: %ld KiB over all %d performances, %ld KiB over the last %d\n",
                resident.back() - resident.front(), kPerformances, lastGrowth, kCompared);
    if (kMemoryChecked) {
      EXPECT_LT(lastGrowth, kMostGrowthKilobytes);
    }
    EXPECT_EQ(rig.service().stop(), 0) << rig.service().output();
  }
};

}  // namespace

TEST_F(MemorySoak, PerformancesToTheTestSynthesizerLeaveMemoryFlat) {
  soak(TestService::SoundFonts::Hidden);
}

TEST_F(MemorySoak, PerformancesThroughTheBuiltInSynthesizerLeaveMemoryFlat) {
  soak(TestService::SoundFonts::Visible);
}
