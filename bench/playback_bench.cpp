// A performance on the real service, measured from outside as a learner would hear
// it: a dense four-channel accompaniment arriving at a test synthesizer, alone, while
// 50 WebSocket clients send pings and while 200 connections send the web
// application's everyday commands; the count-off's words reaching the audio
// graph and the overrun the latency command reports; and key presses sent at known
// instants against the times the stop command reports. Starts its own JACK server
// (dummy backend, realtime, 32-frame periods at 22050 Hz, as a desktop runs it). Run it
// where port 19420 is free, for example (one line):
//   unshare --net --mount sh -c 'mount -t tmpfs tmpfs /dev/shm && ip link set lo up &&
//   exec ./bench/playback_bench'
// With "--soak [minutes [--period frames]]" (default 10 minutes, 32 frames) it plays
// performances one after another instead and prints the service's resident memory
// every minute, and each performance that missed messages with the JACK server's
// xruns during it and the clients jackd named late. With "--heard
// [performances [period frames]]" (default 3, and 256 frames on the 22050 Hz rig) it
// plays a song through the service's built-in synthesizer on the rig
// PIANOCORVIDA_TEST_RIG names (jack22050, jack48000, or pipewire under pw-jack) and
// prints when each word, click and note is heard in the captured sound against its
// instant, how far each beat's note falls from its click, how far the recorded key
// times fall from the beats the test keyboard played them on, and what the sound
// output granted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFigures.h"
#include "tests/support/HeardPerformance.h"
#include "tests/support/KeyTimes.h"
#include "tests/support/PerformanceRequests.h"
#include "tests/support/TestRig.h"
#include "playback/CvSongTiming.h"
#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestClientPool.h"
#include "tests/support/TestCommandMix.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestJackCapture.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"
#include "tests/support/TestXrunCounter.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const int kPeriodFrames = 32;  // unless --period names another
const int kRate = 22050;
const int kDivision = 480;
const int kSongTempo = 120;       // a quarter note lasts 500 ms
const int kBeats = 32;        // eight bars of 4/4: 16 s
const int kSongCountOffMs = 2000; // 4/4 at tempo 120 from beat 1
const int kLoadClients = 50;
const size_t kMixConnections = 200;
const char* const kSongStamp = "bench";
const int kKeyPresses = 60;

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// One message as the service will send it: its due time and what identifies it.
struct Due {
  double ms;          // song time as the service computes it, truncated
  int channelRank;    // the channel's place in the order of first appearance
  int track;
  int sequence;       // place in its track
  unsigned char status;
  unsigned char note;
};

// The dense song and its messages in the order the service sends them: by time, then
// channel in order of first appearance, then track, then file order.
struct Song {
  std::string bytes;
  std::vector<Due> messages;
};

// Chords in eighths on channel 0, sixteenths on channel 1, eighth triplets on channel
// 2, and hi-hat sixteenths with a kick on every beat on channel 9.
Song denseSong() {
  TestMidiFile file(1, kDivision);
  file.track().text(0, "conductor");
  Song song;
  int trackNumber = 0;
  std::vector<int> channels;
  auto part = [&](int channel, uint32_t step, std::vector<int> notes) {
    TestMidiFile::Track& track = file.track();
    ++trackNumber;
    if (std::find(channels.begin(), channels.end(), channel) == channels.end()) {
      channels.push_back(channel);
    }
    int rank = static_cast<int>(std::find(channels.begin(), channels.end(), channel) -
                                channels.begin());
    // Delta times summed in double precision at the requested tempo, as the service does.
    double time = 0;
    int sequence = 0;
    auto add = [&](uint32_t delta, int status, int note) {
      time += TicksToMilliseconds(delta, 0.5 / kDivision, kSongTempo);
      song.messages.push_back(Due{std::trunc(time), rank, trackNumber, sequence++,
                                  static_cast<unsigned char>(status),
                                  static_cast<unsigned char>(note)});
    };
    uint32_t end = static_cast<uint32_t>(kBeats * kDivision);
    uint32_t last = 0;
    for (uint32_t tick = 0; tick + step <= end; tick += step) {
      for (size_t n = 0; n < notes.size(); ++n) {
        uint32_t delta = n == 0 ? tick - last : 0;
        track.noteOn(delta, channel, notes[n], 60 + static_cast<int>(n) * 10);
        add(delta, 0x90 | channel, notes[n]);
      }
      for (size_t n = 0; n < notes.size(); ++n) {
        uint32_t delta = n == 0 ? step - step / 4 : 0;
        track.noteOff(delta, channel, notes[n]);
        add(delta, 0x80 | channel, notes[n]);
      }
      last = tick + step - step / 4;
    }
  };
  part(0, kDivision / 2, {48, 55, 64});
  part(1, kDivision / 4, {72});
  part(2, kDivision / 3, {60, 67});
  part(9, kDivision / 4, {42});
  part(9, kDivision, {36});
  song.bytes = file.bytes();
  std::stable_sort(song.messages.begin(), song.messages.end(), [](const Due& a, const Due& b) {
    if (a.ms != b.ms) return a.ms < b.ms;
    if (a.channelRank != b.channelRank) return a.channelRank < b.channelRank;
    if (a.track != b.track) return a.track < b.track;
    return a.sequence < b.sequence;
  });
  return song;
}

Json::Value countOffData(int songId, int endTime) {
  Json::Value data;
  data["songId"] = songId;
  data["tempo"] = std::to_string(kSongTempo);
  data["timeSignature"]["beats"] = 4;
  data["timeSignature"]["beatType"] = 4;
  data["startMeasure"] = 1;
  data["endMeasure"] = kBeats / 4;
  data["startBeat"] = 1;
  data["endBeat"] = 4;
  data["startPosition"] = 1;
  data["startTime"] = 0;
  data["endTime"] = endTime;
  return data;
}

Json::Value playData(const std::string& startTime) {
  Json::Value data;
  data["startTime"] = startTime;
  data["accompanimentVolume"] = "100";
  data["metronomeVolume"] = "0";
  return data;
}

// Clients that each send a ping, wait for its answer and pause 20 ms, until told to
// stop; at most a minute. Together about 2500 requests a second.
class Load {
 public:
  void start(int clients) {
    for (int c = 0; c < clients; ++c) {
      threads_.emplace_back([this] {
        TestClient client;
        if (!client.connect()) return;
        auto until = Clock::now() + std::chrono::minutes(1);
        while (!stop_.load() && Clock::now() < until) {
          if (!client.request(R"({"methodName":1})").isNull()) ++answered_;
          std::this_thread::sleep_for(milliseconds(20));
        }
      });
    }
  }
  long finish() {
    stop_.store(true);
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    stop_.store(false);
    return answered_.exchange(0);
  }

 private:
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::atomic<long> answered_{0};
};

struct Performance {
  std::vector<double> messageErrorsMs;  // |arrival - due| from the first tick, per message
  std::vector<double> keyErrorsMs;      // |reported - sent| per key press
  std::vector<double> wordErrorsMs;     // |onset - tick| per count-off word
  double signedMin = 0, signedMax = 0;  // earliest and latest message, ms
  int latencyMs = 0;
  size_t expected = 0;
  size_t heard = 0;
  size_t keysReported = 0;
  uint64_t xruns = 0;                   // the JACK server's, during the performance
  uint64_t unreadable = 0;              // events the synthesizer's buffer would not hand over
  size_t unexpected = 0;                // heard, but matching no message due after the last
  std::map<std::string, int> late;      // clients jackd named late during it
};

class Rig {
 public:
  explicit Rig(int periodFrames) : periodFrames_(periodFrames) {}

  bool start() {
    if (!jack_.start(std::chrono::seconds(10), periodFrames_, true)) return false;
    xruns_ = std::make_unique<TestXrunCounter>();
    synth_ = std::make_unique<TestSynth>(jack_, "Bench Synth");
    piano_ = std::make_unique<TestKeyboard>(jack_, "Bench Piano");
    if (!synth_->plug() || !piano_->plug()) return false;
    storeDevice(service_, piano_->name(), true, 21, 108);
    if (!service_.start() || !capture_.start()) return false;
    if (!connectWebApplication(app_) || !client_.connect()) return false;
    if (!eventually([this] { return serviceListensTo(jack_, *piano_); }, std::chrono::seconds(10)))
      return false;
    Json::Value data;
    data["id"] = 1;
    data["midiFile"] = base64(song_.bytes);
    data["lastMidiModified"] = kSongStamp;
    return client_.call(6, data)["data"]["code"] == 0;
  }

  // One performance of the whole song; key presses during it when asked.
  Performance perform(bool pressKeys) {
    Performance result;
    const std::vector<Due>& due = song_.messages;
    result.expected = due.size();
    client_.call(9, countOffData(1, static_cast<int>(due.back().ms)));
    uint64_t xrunsBefore = xruns_->count();
    uint64_t unreadableBefore = synth_->unreadable();
    std::map<std::string, int> lateBefore = jack_.lateClients();
    synth_->clear();
    capture_.clear();

    Clock::time_point countOffStart;
    std::string startTime = startTimeText(milliseconds(500), &countOffStart);
    Clock::time_point firstBeat = countOffStart + milliseconds(kSongCountOffMs);
    std::vector<Clock::time_point> pressed;
    std::thread learner([&] {
      if (!pressKeys) return;
      for (int k = 0; k < kKeyPresses; ++k) {
        // Off the beat grid and spread over the song.
        std::this_thread::sleep_until(firstBeat + milliseconds(100 + k * 233));
        pressed.push_back(Clock::now());
        piano_->noteOn(48 + k % 24, 90);
        piano_->noteOff(48 + k % 24);
      }
    });
    client_.call(12, playData(startTime), "bench", std::chrono::seconds(60));
    result.latencyMs = client_.call(15)["data"]["latency"].asInt();
    synth_->waitForCount(due.size(), milliseconds(static_cast<long>(due.back().ms) + 5000));
    learner.join();
    result.xruns = xruns_->count() - xrunsBefore;
    result.unreadable = synth_->unreadable() - unreadableBefore;
    for (const auto& late : jack_.lateClients()) {
      int times = late.second - lateBefore[late.first];
      if (times > 0) result.late[late.first] = times;
    }

    std::vector<TestSynth::Message> heard = synth_->messages();
    result.heard = heard.size();
    // Each message heard is paired with the next one due that it matches, so a lost
    // message shows as lost instead of shifting every pairing after it.
    size_t next = 0;
    for (const TestSynth::Message& m : heard) {
      size_t from = next;
      while (next < due.size() &&
             (due[next].status != m.bytes[0] || m.bytes.size() < 2 || due[next].note != m.bytes[1])) {
        ++next;
      }
      if (next == due.size()) {
        // Heard more often than sent, or out of order: a message taken twice.
        ++result.unexpected;
        next = from;
        continue;
      }
      double late = msBetween(heard[0].arrival, m.arrival) - (due[next].ms - due[0].ms);
      result.messageErrorsMs.push_back(std::fabs(late));
      result.signedMin = std::min(result.signedMin, late);
      result.signedMax = std::max(result.signedMax, late);
      ++next;
    }

    // Each press is found in the report by its key and nearest time: the keys repeat
    // only every 24 presses, over five seconds apart.
    Json::Value report = client_.call(10)["data"]["eventList"];
    result.keysReported = report.size();
    for (size_t k = 0; k < pressed.size(); ++k) {
      double sent = msBetween(firstBeat, pressed[k]);
      const char* names[] = {"C", "Csharp", "D", "Dsharp", "E", "F",
                             "Fsharp", "G", "Gsharp", "A", "Asharp", "B"};
      int note = 48 + static_cast<int>(k) % 24;
      double best = 1e9;
      for (const Json::Value& event : report) {
        const Json::Value& pitch = event["noteList"][0];
        if (pitch["pitch"] != names[note % 12] || pitch["octave"] != note / 12 - 1) continue;
        best = std::min(best, std::fabs(event["time"].asDouble() - sent));
      }
      if (best < 1e9) result.keyErrorsMs.push_back(best);
    }

    // Words: one, two, set, go at 0, 500, 1000 and 1500 ms.
    std::vector<Clock::time_point> onsets = capture_.onsets(0.02f, milliseconds(100));
    for (const Clock::time_point& onset : onsets) {
      double at = msBetween(countOffStart, onset);
      if (at < -100 || at > kSongCountOffMs - 100) continue;
      double tick = std::round(at / 500.0) * 500.0;
      result.wordErrorsMs.push_back(std::fabs(at - tick));
    }
    return result;
  }

  TestService& service() { return service_; }
  TestClient& client() { return client_; }
  std::string keyboardName() const { return piano_->name(); }

 private:
  int periodFrames_;
  TestJack jack_;
  std::unique_ptr<TestXrunCounter> xruns_;  // made once the server runs
  std::unique_ptr<TestSynth> synth_;
  std::unique_ptr<TestKeyboard> piano_;
  TestService service_;
  TestJackCapture capture_;
  TestClient app_;
  TestClient client_;
  Song song_ = denseSong();
};

void printXruns(const Performance& p) {
  std::printf("  JACK xruns %llu, events unreadable at the synthesizer %llu",
              static_cast<unsigned long long>(p.xruns), static_cast<unsigned long long>(p.unreadable));
  for (const auto& late : p.late) std::printf("; %s late %d", late.first.c_str(), late.second);
  std::printf("\n");
}

void printPerformance(const char* title, const Performance& p) {
  std::printf("%s: %zu of %zu messages heard, %zu key presses reported, latency command %d ms\n",
              title, p.heard, p.expected, p.keysReported, p.latencyMs);
  printSpread("  message arrival vs schedule", p.messageErrorsMs, "ms");
  std::printf("  earliest %.3f ms, latest %.3f ms against the schedule\n", p.signedMin, p.signedMax);
  if (!p.keyErrorsMs.empty()) printSpread("  recorded time vs key sent", p.keyErrorsMs, "ms");
  printSpread("  count-off word onset vs tick", p.wordErrorsMs, "ms");
  printXruns(p);
}

}  // namespace

// Performances one after another for the given time, and the service's resident
// memory each minute: what a long lesson leaves behind.
int soak(Rig& rig, std::chrono::minutes length) {
  std::printf("soak: performances for %ld minutes, VmRSS each minute\n",
              static_cast<long>(length.count()));
  // First every event-loop thread runs a command, so that the stack pages that costs
  // (a few KiB a thread, 1000 threads) are in the first figure and not in the growth.
  {
    TestClientPool warm;
    warm.connect(20);
    warm.run([](size_t, size_t) { return std::string(R"({"methodName":1})"); },
             [](const std::string&, const std::string&) { return std::string(); },
             milliseconds(5000), milliseconds(0));
  }
  auto begin = Clock::now();
  std::vector<long> resident = {rig.service().residentKilobytes()};
  std::printf("minute  0: VmRSS %6ld KiB\n", resident[0]);
  int performances = 0, incomplete = 0, withXruns = 0, incompleteWithoutXruns = 0;
  size_t keysShort = 0, messagesMissing = 0, unexpected = 0;
  while (Clock::now() - begin < length) {
    Performance p = rig.perform(true);
    ++performances;
    if (p.xruns > 0) ++withXruns;
    unexpected += p.unexpected;
    if (p.heard != p.expected || p.unexpected > 0) {
      ++incomplete;
      if (p.xruns == 0) ++incompleteWithoutXruns;
      messagesMissing += p.expected - std::min(p.heard, p.expected);
      std::printf("performance %d: %zu of %zu messages heard, %zu not due\n", performances, p.heard,
                  p.expected, p.unexpected);
      printXruns(p);
    }
    keysShort += static_cast<size_t>(kKeyPresses) - std::min<size_t>(p.keysReported, kKeyPresses);
    // One figure per minute passed; a performance lasts about twenty seconds.
    auto minutes = std::chrono::duration_cast<std::chrono::minutes>(Clock::now() - begin);
    while (static_cast<long>(resident.size()) <= minutes.count() &&
           static_cast<long>(resident.size()) <= length.count()) {
      resident.push_back(rig.service().residentKilobytes());
      std::printf("minute %2zu: VmRSS %6ld KiB after %d performances\n", resident.size() - 1,
                  resident.back(), performances);
      std::fflush(stdout);
    }
  }
  std::printf("performances %d, with messages missing %d, key presses not reported %zu\n",
              performances, incomplete, keysShort);
  std::printf("messages missing %zu, heard but not due %zu; performances with JACK xruns %d; "
              "with messages missing and no xrun %d\n",
              messagesMissing, unexpected, withXruns, incompleteWithoutXruns);
  std::printf("VmRSS growth to minute %zu: %ld KiB from minute 0, %ld KiB from minute 1\n",
              resident.size() - 1, resident.back() - resident[0],
              resident.back() - resident[std::min<size_t>(1, resident.size() - 1)]);
  // A period that missed its deadline may lose what was under way in it: the server's
  // doing. Nothing may be lost without one, and nothing heard that was not sent.
  return incompleteWithoutXruns == 0 && unexpected == 0 && rig.service().stop() == 0 ? 0 : 1;
}

// Performances through the built-in synthesizer on a rig of the test support, heard
// in its capture: onset minus instant for each word, click and note.
int heardPerformances(int performances, int periodFrames) {
  const int kHeardBeats = 16;
  TestRig::Settings settings;
  settings.kind = TestRig::kindFromEnvironment(TestRig::Kind::Jack22050);
  settings.periodFrames = periodFrames;
  TestRig rig(settings);
  if (!rig.start()) return 1;
  rig.service().setSoundFonts(TestService::SoundFonts::Visible);
  if (!rig.startService() || !rig.connectWebApplication()) return 1;
  TestClient client;
  if (!client.connect()) return 1;
  client.call(6, cacheSongData(1, heard::offBeatSong(kHeardBeats)));
  std::vector<double> words, clicks, notes, asynchrony;
  size_t missing = 0, extra = 0;
  for (int n = 0; n < performances; ++n) {
    if (client.call(9, countOffData(heard::offBeatExcerpt(kHeardBeats)))["responseCode"] != 0) {
      return 1;
    }
    rig.capture().clear();
    const milliseconds ahead(600);
    Clock::time_point countOffStart;
    client.call(12, playData(startTimeText(ahead, &countOffStart), 100, 80), "bench",
                std::chrono::seconds(60));
    std::this_thread::sleep_until(countOffStart +
                                  milliseconds(heard::kCountOffMs + kHeardBeats * heard::kBeatMs + 600));
    size_t unmatched = 0;
    const std::vector<heard::Sound> sounds =
        heard::match(rig.capture(), countOffStart, kHeardBeats, rig.service().folder(), &unmatched);
    for (double late : heard::clickToNote(sounds)) {
      if (!std::isnan(late)) asynchrony.push_back(late);
    }
    for (const heard::Sound& sound : sounds) {
      if (std::isnan(sound.heardMs)) {
        ++missing;
        continue;
      }
      std::string kind = sound.kind;
      (kind == "word" ? words : kind == "click" ? clicks : notes).push_back(sound.heardMs - sound.dueMs);
    }
    extra += unmatched;
    client.call(10);
  }

  // As many again with the learner on every beat: how far from the beats the recorded
  // times fall, and how much of that is the service's (against when the JACK period
  // carrying each key ran).
  TestClient stopper;
  if (!stopper.connect()) return 1;
  std::vector<double> keyErrors, keyShares;
  size_t keyFaults = 0;
  for (int n = 0; n < performances; ++n) {
    if (client.call(9, countOffData(heard::offBeatExcerpt(kHeardBeats)))["responseCode"] != 0) {
      return 1;
    }
    Clock::time_point countOffStart;
    const std::string start = startTimeText(milliseconds(600), &countOffStart);
    std::thread player(
        [&] { client.call(12, playData(start, 100, 80), "bench", std::chrono::seconds(60)); });
    KeyTimes keys = playKeysOnBeats(rig.keyboard(), stopper,
                                    countOffStart + milliseconds(heard::kCountOffMs), kHeardBeats,
                                    milliseconds(heard::kBeatMs));
    player.join();
    if (!keys.fault.empty()) {
      std::printf("performance %d with keys: %s\n", n + 1, keys.fault.c_str());
      ++keyFaults;
      continue;
    }
    for (size_t beat = 0; beat < keys.errorsMs.size(); ++beat) {
      keyErrors.push_back(keys.errorsMs[beat]);
      keyShares.push_back(keys.errorsMs[beat] - keys.graphLagsMs[beat]);
    }
  }

  std::printf("rig %s, %u Hz: %d performances of %d beats heard, %d with a key on every beat\n",
              rig.name(), rig.sampleRate(), performances, kHeardBeats, performances);
  printSpread("  count-off word onset - tick", words, "ms");
  printSpread("  metronome click onset - beat", clicks, "ms");
  printSpread("  synthesizer note onset - note time", notes, "ms");
  printSpread("  note - click of the same beat", asynchrony, "ms");
  std::printf("  sounds not heard %zu, heard but not played %zu\n", missing, extra);
  printSpread("  recorded key time - beat", keyErrors, "ms");
  printSpread("  recorded key time - its JACK period", keyShares, "ms");
  std::printf("  performances whose report was wrong %zu\n", keyFaults);
  std::string log = rig.service().log();
  for (size_t at = 0; (at = log.find("[SoundOutput]", at)) != std::string::npos; ++at) {
    std::printf("  %s\n", log.substr(at, log.find('\n', at) - at).c_str());
  }
  return rig.service().stop() == 0 && missing == 0 && keyFaults == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--heard") {
    return heardPerformances(argc > 2 ? std::atoi(argv[2]) : 3, argc > 3 ? std::atoi(argv[3]) : 256);
  }
  bool soaking = argc > 1 && std::string(argv[1]) == "--soak";
  std::chrono::minutes soakLength(argc > 2 ? std::atoi(argv[2]) : 10);
  int periodFrames = kPeriodFrames;
  if (soaking && argc > 4 && std::string(argv[3]) == "--period") periodFrames = std::atoi(argv[4]);
  if (periodFrames <= 0) {
    std::fprintf(stderr, "usage: playback_bench [--soak [minutes [--period frames]]]\n");
    return 2;
  }
  if (portAccepts(19420)) {
    std::fprintf(stderr, "port 19420 is already in use; run in a private network namespace\n");
    return 1;
  }
  Rig rig(periodFrames);
  if (!rig.start()) {
    std::fprintf(stderr, "the rig did not come up\n%s", rig.service().output().c_str());
    return 1;
  }
  std::printf("JACK dummy backend: %d frames per period at %d Hz, a %.3f ms quantum\n",
              periodFrames, kRate, 1000.0 * periodFrames / kRate);
  if (soaking) return soak(rig, soakLength);

  rig.perform(true);  // warms the service, the server and the caches; not counted
  Performance alone = rig.perform(true);
  printPerformance("alone", alone);

  Load load;
  load.start(kLoadClients);
  Performance loaded = rig.perform(false);
  long answered = load.finish();
  printPerformance("with 50 clients sending pings", loaded);
  std::printf("  pings answered during it: %ld\n", answered);

  TestClientPool pool;
  size_t opened = pool.connect(kMixConnections);
  TestCommandMix mix(rig.keyboardName(), 1, kSongStamp);
  bool exercise = mix.storeExercise(rig.client());
  TestClientPool::Tally tally;
  std::thread mixing([&] {
    // As long as a performance lasts: start delay, count-off and song.
    tally = pool.run(mix.script(), mix.checker(), milliseconds(500 + kSongCountOffMs + kBeats * 500),
                     milliseconds(20));
  });
  Performance mixed = rig.perform(false);
  mixing.join();
  pool.close();
  printPerformance("with 200 connections sending mixed commands", mixed);
  std::printf("  %zu connections; requests sent %ld, answered right %ld, wrong %ld, "
              "unanswered %ld; connections lost %ld\n",
              opened, tally.sent, tally.answered, tally.wrong, tally.unanswered, tally.closed);
  for (const std::string& fault : tally.faults) std::printf("  fault: %s\n", fault.c_str());

  int status = rig.service().stop();
  bool mixAnswered = exercise && opened == kMixConnections && tally.wrong == 0 &&
                  tally.unanswered == 0 && tally.closed == 0;
  return status == 0 && alone.heard == alone.expected && loaded.heard == loaded.expected &&
                 mixed.heard == mixed.expected && mixAnswered
             ? 0
             : 1;
}
