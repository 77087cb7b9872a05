// The service's audio output, heard from the JACK graph: the count-off word player
// (platform::waveOpen / wavePlay / waveClose) and the metronome's click player
// (CvAudioPlay), in-process against one JACK server with the dummy backend, with a
// capture client that times every sample on the steady clock. Timing figures are
// printed; the assertions keep wide margins.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <jack/jack.h>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include "platform/platform.h"
#include "playback/CvAudioPlay.h"
#include "service/CvLog.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestJackCapture.h"
#include "tests/support/TestService.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using platform::waveClose;
using platform::waveOpen;
using platform::wavePlay;

const int kPeriodFrames = 256;  // 11.6 ms at 22050 Hz
const float kThreshold = 0.05f;
const milliseconds kQuiet{40};  // silence that separates two sounds
// The capture dates a cycle when it runs, just after the players wrote it: an onset
// never comes before its play call, so this only absorbs rounding.
const milliseconds kCycleSlack{2};
// The last frames before a close are dated when their cycle ran, and the next cycle
// may come late on a busy machine: a sound may seem to end a little before its close.
const milliseconds kEndSlack{50};
const milliseconds kSoon{250};  // generous: the machine is small and shared

std::string shippedSound(const std::string& name) {
  return std::string(PIANOCORVIDA_BUILD_DIR) + "/countoff/" + name;
}

void pause(milliseconds time) { std::this_thread::sleep_for(time); }

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void printFigures(const char* what, std::vector<double> values) {
  if (values.empty()) return;
  std::sort(values.begin(), values.end());
  std::printf("%s: p50 %.1f ms, max %.1f ms over %zu\n", what, values[values.size() / 2],
              values.back(), values.size());
}

// The first onset at or after `from` (less the cycle slack), or Clock::time_point::max().
Clock::time_point firstOnsetFrom(const std::vector<Clock::time_point>& onsets,
                                 Clock::time_point from) {
  for (Clock::time_point onset : onsets) {
    if (onset >= from - kCycleSlack) return onset;
  }
  return Clock::time_point::max();
}

// A wave file of constant levels: each part lasts `ms` at `level` of full scale (0 is
// silence). A constant level, unlike a tone, cannot cancel itself when two voices of
// the same file overlap.
struct Part {
  int ms;
  float level;
};
struct Layout {
  uint32_t rate = 22050;
  uint16_t channels = 2;
  uint16_t bits = 16;
  uint16_t formatTag = 1;     // PCM
  bool extraChunks = false;  // an 18-byte fmt chunk and an odd-sized LIST before data
};

void putLe(std::string& bytes, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The samples alone, as the click player reads them.
std::string pcmBytes(const Layout& layout, const std::vector<Part>& parts) {
  std::string samples;
  for (const Part& part : parts) {
    size_t frames = static_cast<size_t>(part.ms) * layout.rate / 1000;
    for (size_t i = 0; i < frames * layout.channels; ++i) {
      if (layout.bits == 8) {
        putLe(samples, static_cast<uint32_t>(128 + part.level * 127), 1);
      } else {
        int32_t value = static_cast<int32_t>(part.level * ((1 << (layout.bits - 1)) - 1));
        putLe(samples, static_cast<uint32_t>(value), layout.bits / 8);
      }
    }
  }
  return samples;
}

std::string waveBytes(const Layout& layout, const std::vector<Part>& parts) {
  std::string samples = pcmBytes(layout, parts);
  std::string fmt;
  putLe(fmt, layout.formatTag, 2);
  putLe(fmt, layout.channels, 2);
  putLe(fmt, layout.rate, 4);
  putLe(fmt, layout.rate * layout.channels * layout.bits / 8, 4);
  putLe(fmt, layout.channels * layout.bits / 8, 2);
  putLe(fmt, layout.bits, 2);
  if (layout.extraChunks) putLe(fmt, 0, 2);  // cbSize

  std::string body = "WAVEfmt ";
  putLe(body, static_cast<uint32_t>(fmt.size()), 4);
  body += fmt;
  if (layout.extraChunks) {
    body += "LIST";
    putLe(body, 5, 4);
    body += std::string("INFOx", 5) + '\0';  // and the pad byte
  }
  body += "data";
  putLe(body, static_cast<uint32_t>(samples.size()), 4);
  body += samples;
  std::string file = "RIFF";
  putLe(file, static_cast<uint32_t>(body.size()), 4);
  return file + body;
}

// What the program logs while the object lives, as "[LEVEL] message" lines.
class LogCapture {
 public:
  LogCapture() : appender_(new log4cpp::StringQueueAppender("audio-test")) {
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("[%p] %m\n");
    appender_->setLayout(layout);
    cvlog::category().addAppender(appender_);  // the category owns and frees it
  }
  ~LogCapture() { cvlog::category().removeAppender(appender_); }

  std::string text() {
    std::string all;
    auto& queue = appender_->getQueue();
    for (; !queue.empty(); queue.pop()) all += queue.front();
    return all;
  }

 private:
  log4cpp::StringQueueAppender* appender_;
};

bool hasPortOf(const std::vector<std::string>& ports, const std::string& client) {
  return std::any_of(ports.begin(), ports.end(), [&](const std::string& port) {
    return port.rfind(client + ":", 0) == 0;
  });
}

}  // namespace

// First, while no server has run in this process: this machine has no sound card, so
// without JACK there is no output at all.
TEST(AudioWithoutServer, ClickReturnsAtOnceAndWordsCannotOpen) {
  TestJack jack;  // names a server that is never started
  LogCapture log;
  CvAudioPlay click(shippedSound("hihat_short_loud.wav"));
  click.duration = 2000;
  ASSERT_TRUE(click.OpenFile());
  Clock::time_point start = Clock::now();
  click.Play();
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_NE(log.text().find("[ERROR] [CvAudioPlay] no audio device found"), std::string::npos);

  std::string word = shippedSound("one.wav");
  EXPECT_EQ(waveOpen(word), platform::kWaveNoDevice);
  EXPECT_EQ(wavePlay(word), platform::kWaveNotOpen);
  EXPECT_EQ(waveClose(word), platform::kWaveNotOpen);
}

class AudioOutput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    jack_ = new TestJack;
    if (!jack_->start(std::chrono::seconds(10), kPeriodFrames)) return;
    capture_ = new TestJackCapture;
    char folder[] = "/tmp/pianocorvida-audio-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    ready_ = capture_->start();
    std::printf("JACK dummy server: %u Hz, %d frames per period\n", capture_->sampleRate(),
                kPeriodFrames);
  }

  static void TearDownTestSuite() {
    // The word stream closes once idle; a server ending under it would make RtAudio
    // close it from a thread of its own.
    if (capture_ != nullptr) {
      eventually([] { return !hasPortOf(capture_->sourcePorts(), kWordClient); },
                 std::chrono::seconds(10));
    }
    delete capture_;  // before the server ends
    delete jack_;
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  void SetUp() override {
    ASSERT_TRUE(ready_) << "no JACK server or capture client";
    capture_->clear();
  }

  static std::string write(const std::string& name, const std::string& bytes) {
    std::string path = folder_ + "/" + name;
    writeFileBytes(path, bytes);
    return path;
  }

  // The one stream every sound of the service is mixed into.
  static constexpr const char* kWordClient = "pianocorvida";
  static TestJack* jack_;
  static TestJackCapture* capture_;
  static bool ready_;
  static std::string folder_;
};

TestJack* AudioOutput::jack_ = nullptr;
TestJackCapture* AudioOutput::capture_ = nullptr;
bool AudioOutput::ready_ = false;
std::string AudioOutput::folder_;

TEST_F(AudioOutput, WordsSoundSoonAfterPlay) {
  std::string beep = write("beep.wav", waveBytes(Layout(), {{100, 0.5f}}));
  std::vector<std::string> words = {shippedSound("one.wav"), shippedSound("two.wav"),
                                    shippedSound("set.wav"), shippedSound("go.wav")};
  // The first open may start the stream: let the capture connect to it first.
  ASSERT_EQ(waveOpen(beep), 0u);
  ASSERT_TRUE(eventually([] { return capture_->listensTo(kWordClient); }));
  ASSERT_EQ(waveClose(beep), 0u);
  std::vector<std::pair<Clock::time_point, std::string>> plays;
  for (int i = 0; i < 24; ++i) {
    const std::string& path = i < 20 ? beep : words[i - 20];
    ASSERT_EQ(waveOpen(path), 0u);
    Clock::time_point played = Clock::now();
    ASSERT_EQ(wavePlay(path), 0u);
    plays.emplace_back(played, path);
    pause(milliseconds(i < 20 ? 200 : 500));
    ASSERT_EQ(waveClose(path), 0u);
  }
  pause(milliseconds(50));

  std::vector<Clock::time_point> onsets = capture_->onsets(kThreshold, kQuiet);
  std::vector<double> latencies;
  for (size_t i = 0; i < plays.size(); ++i) {
    const auto& play = plays[i];
    Clock::time_point onset = firstOnsetFrom(onsets, play.first);
    Clock::time_point next = i + 1 < plays.size() ? plays[i + 1].first : Clock::time_point::max();
    ASSERT_LT(onset, std::min(play.first + kSoon, next)) << play.second << " was not heard";
    if (play.second == beep) latencies.push_back(ms(onset - play.first));
  }
  printFigures("wavePlay to onset", latencies);
}

TEST_F(AudioOutput, CloseCutsALongSoundOff) {
  std::string long_ = write("long.wav", waveBytes(Layout(), {{3000, 0.5f}}));
  ASSERT_EQ(waveOpen(long_), 0u);
  ASSERT_EQ(wavePlay(long_), 0u);
  pause(milliseconds(300));
  Clock::time_point closed = Clock::now();
  ASSERT_EQ(waveClose(long_), 0u);
  pause(milliseconds(300));

  std::vector<TestAudioCapture::Sound> sounds = capture_->sounds(kThreshold, kQuiet);
  ASSERT_EQ(sounds.size(), 1u);
  EXPECT_GT(sounds[0].end, closed - kEndSlack);
  EXPECT_LT(sounds[0].end, closed + kSoon);
  std::printf("waveClose to silence: %.1f ms\n", ms(sounds[0].end - closed));
}

// Two ticks of the same word: the second opens while the first still sounds, and the
// first close must stop the first voice. The file has a gap 1000 ms in, so the gap
// heard tells which voice went on.
TEST_F(AudioOutput, OverlappingVoicesOfOnePathEachStopOnTheirOwnClose) {
  std::string gapped =
      write("gapped.wav", waveBytes(Layout(), {{1000, 0.4f}, {150, 0.0f}, {850, 0.4f}}));
  Clock::time_point first = Clock::now();
  ASSERT_EQ(waveOpen(gapped), 0u);
  ASSERT_EQ(wavePlay(gapped), 0u);
  pause(milliseconds(500));
  ASSERT_EQ(waveOpen(gapped), 0u);
  Clock::time_point second = Clock::now();
  ASSERT_EQ(wavePlay(gapped), 0u);
  pause(milliseconds(200));
  ASSERT_EQ(waveClose(gapped), 0u);  // the first voice
  std::this_thread::sleep_until(second + milliseconds(1400));
  Clock::time_point closed = Clock::now();
  ASSERT_EQ(waveClose(gapped), 0u);  // the second
  EXPECT_EQ(waveClose(gapped), platform::kWaveNotOpen);
  pause(milliseconds(300));

  std::vector<TestAudioCapture::Sound> sounds = capture_->sounds(kThreshold, milliseconds(60));
  ASSERT_EQ(sounds.size(), 2u);
  EXPECT_LT(sounds[0].start, first + kSoon);
  // The second voice's gap, 1000 ms after it started; the first voice's would have come
  // 500 ms earlier.
  EXPECT_GT(sounds[0].end, second + milliseconds(750));
  EXPECT_LT(sounds[0].end, second + milliseconds(1000) + kSoon);
  EXPECT_GT(sounds[1].end, closed - kEndSlack);
  EXPECT_LT(sounds[1].end, closed + kSoon);
}

TEST_F(AudioOutput, BrokenFilesGiveErrorsAndLeaveNoVoice) {
  std::string good = waveBytes(Layout(), {{50, 0.5f}});
  Layout deep;
  deep.bits = 24;
  Layout floating;
  floating.formatTag = 3;
  struct Case {
    std::string path;
    uint32_t code;
  };
  const std::vector<Case> cases = {
      {folder_ + "/missing.wav", platform::kWaveFileNotFound},
      {folder_, platform::kWaveFileNotFound},  // a folder opens but cannot be read
      {write("text.wav", "not a wave file, although its name says so\n"),
       platform::kWaveInvalidFile},
      {write("cut-in-fmt.wav", good.substr(0, 30)), platform::kWaveInvalidFile},
      {write("no-data.wav", good.substr(0, 36)), platform::kWaveInvalidFile},
      {write("24-bit.wav", waveBytes(deep, {{50, 0.5f}})), platform::kWaveInvalidFile},
      {write("float.wav", waveBytes(floating, {{50, 0.5f}})), platform::kWaveInvalidFile},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(waveOpen(c.path), c.code) << c.path;
    EXPECT_EQ(wavePlay(c.path), platform::kWaveNotOpen) << c.path;
    EXPECT_EQ(waveClose(c.path), platform::kWaveNotOpen) << c.path;
  }
}

// A file at another rate than the stream's, or 8-bit mono with extra chunks, lasts as
// long as it should: 400 ms, not 200 or 800.
TEST_F(AudioOutput, OtherFormatsPlayAtTheirOwnSpeed) {
  Layout small;
  small.rate = 11025;
  small.channels = 1;
  small.bits = 8;
  small.extraChunks = true;
  Layout fine;
  fine.rate = 44100;
  const std::vector<std::string> files = {
      write("8-bit-mono-11025.wav", waveBytes(small, {{400, 0.5f}})),
      write("16-bit-stereo-44100.wav", waveBytes(fine, {{400, 0.5f}}))};
  for (const std::string& path : files) {
    capture_->clear();
    ASSERT_EQ(waveOpen(path), 0u) << path;
    ASSERT_EQ(wavePlay(path), 0u);
    pause(milliseconds(900));
    ASSERT_EQ(waveClose(path), 0u);
    std::vector<TestAudioCapture::Sound> sounds = capture_->sounds(kThreshold, kQuiet);
    ASSERT_EQ(sounds.size(), 1u) << path;
    double length = 1000.0 * sounds[0].frames / capture_->sampleRate();  // in audio time
    EXPECT_GT(length, 340) << path;
    EXPECT_LT(length, 460) << path;
  }
}

// As the metronome uses it: four clicks in a row, each one beat long and handed over
// ahead of its instant. The beat must not stretch by the time the sound output takes
// to open, and each click lands on the frame of its instant. The click's file starts
// with 100 ms of silence (a raw file's header is sound too).
TEST_F(AudioOutput, ClickPlayerKeepsItsBeatAndReachesTheGraph) {
  const int kClicks = 4;
  const milliseconds kBeat{800};
  const milliseconds kLead{100};
  CvAudioPlay click(
      write("click.raw", pcmBytes(Layout(), {{static_cast<int>(kLead.count()), 0.0f}, {50, 0.5f}})));
  click.duration = static_cast<int32_t>(kBeat.count());
  std::vector<std::pair<Clock::time_point, Clock::time_point>> plays;  // call, return
  // The output runs before the first click, as it does from the count-off on.
  std::string beep = write("beep.wav", waveBytes(Layout(), {{100, 0.5f}}));
  ASSERT_EQ(waveOpen(beep), 0u);
  ASSERT_TRUE(eventually([] { return capture_->listensTo(kWordClient); }));
  ASSERT_EQ(waveClose(beep), 0u);
  capture_->clear();
  const milliseconds kAhead{150};
  std::vector<Clock::time_point> due;
  for (int i = 0; i < kClicks; ++i) {
    ASSERT_TRUE(click.OpenFile());
    Clock::time_point called = Clock::now();
    click.soundAt = called + kAhead;
    due.push_back(click.soundAt + kLead);
    click.Play();
    plays.emplace_back(called, Clock::now());
    click.CloseFile();
  }
  Clock::duration took = plays.back().second - plays.front().first;
  EXPECT_GE(took, kClicks * kBeat);
  EXPECT_LT(took, kClicks * kBeat + kSoon);
  std::printf("%d clicks of %lld ms took %.1f ms\n", kClicks,
              static_cast<long long>(kBeat.count()), ms(took));

  std::vector<Clock::time_point> onsets = capture_->onsets(kThreshold, kQuiet);
  std::vector<double> errors;
  for (size_t i = 0; i < plays.size(); ++i) {
    Clock::time_point onset = firstOnsetFrom(onsets, plays[i].first + kLead);
    EXPECT_LT(onset, plays[i].second) << "a click was not heard while it played";
    if (onset >= plays[i].second) continue;
    errors.push_back(ms(onset - due[i]));
    // Placed on its frame: within a period or two of the graph, not when Play was called.
    EXPECT_NEAR(ms(onset - due[i]), 0, 60) << "click " << i;
  }
  printFigures("CvAudioPlay click onset against its instant", errors);
  EXPECT_TRUE(hasPortOf(capture_->sourcePorts(), kWordClient));

  // Without a file (it could not be opened): silence, and still a whole beat.
  capture_->clear();
  CvAudioPlay silent(folder_ + "/no-such-click.wav");
  silent.duration = static_cast<int32_t>(kBeat.count());
  EXPECT_FALSE(silent.OpenFile());
  Clock::time_point called = Clock::now();
  silent.Play();
  took = Clock::now() - called;
  EXPECT_GE(took, kBeat);
  EXPECT_LT(took, kBeat + kSoon);
  EXPECT_LT(capture_->peak(), kThreshold);
  EXPECT_EQ(capture_->droppedFrames(), 0u);
}

// Last: the word stream leaves the graph once idle (an idle service keeps no audio
// client), and the next word opens it again.
TEST_F(AudioOutput, IdleWordStreamClosesAndReopens) {
  std::string beep = write("beep.wav", waveBytes(Layout(), {{100, 0.5f}}));
  ASSERT_EQ(waveOpen(beep), 0u);
  ASSERT_EQ(wavePlay(beep), 0u);
  pause(milliseconds(150));
  ASSERT_EQ(waveClose(beep), 0u);
  ASSERT_TRUE(hasPortOf(capture_->sourcePorts(), kWordClient));
  Clock::time_point idle = Clock::now();
  ASSERT_TRUE(eventually([] { return !hasPortOf(capture_->sourcePorts(), kWordClient); },
                         std::chrono::seconds(10)));
  std::printf("word stream closed %.0f ms after its last word\n", ms(Clock::now() - idle));

  capture_->clear();
  Clock::time_point opening = Clock::now();
  ASSERT_EQ(waveOpen(beep), 0u);
  Clock::time_point opened = Clock::now();
  ASSERT_TRUE(eventually([] { return capture_->listensTo(kWordClient); }));
  Clock::time_point played = Clock::now();
  ASSERT_EQ(wavePlay(beep), 0u);
  pause(milliseconds(200));
  ASSERT_EQ(waveClose(beep), 0u);
  Clock::time_point onset = firstOnsetFrom(capture_->onsets(kThreshold, kQuiet), played);
  ASSERT_LT(onset, played + kSoon);
  std::printf("waveOpen with the stream closed: %.1f ms; then wavePlay to onset %.1f ms\n",
              ms(opened - opening), ms(onset - played));
}

// After the idle close: another program changes the graph's buffer size, which stops
// the audio library's stream for good. The next word opens the output anew, says so in
// a WARN line, and is heard; the output now runs at the server's rate whatever the
// files' own rate is.
TEST_F(AudioOutput, ABufferSizeChangeEndsNoSoundForGood) {
  LogCapture log;
  std::string beep = write("beep.wav", waveBytes(Layout(), {{100, 0.5f}}));
  ASSERT_EQ(waveOpen(beep), 0u);
  ASSERT_TRUE(eventually([] { return capture_->listensTo(kWordClient); }));
  ASSERT_EQ(waveClose(beep), 0u);

  jack_status_t status;
  jack_client_t* other = jack_client_open("other program", JackNoStartServer, &status);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(jack_set_buffer_size(other, 2 * kPeriodFrames), 0);
  pause(milliseconds(800));  // the old stream has not been served since
  capture_->clear();
  ASSERT_EQ(waveOpen(beep), 0u);
  ASSERT_TRUE(eventually([] { return capture_->listensTo(kWordClient); }));
  Clock::time_point played = Clock::now();
  ASSERT_EQ(wavePlay(beep), 0u);
  pause(milliseconds(300));
  ASSERT_EQ(waveClose(beep), 0u);
  EXPECT_LT(firstOnsetFrom(capture_->onsets(kThreshold, kQuiet), played), played + kSoon);
  EXPECT_NE(log.text().find("[WARN] [SoundOutput] the sound output stopped playing"),
            std::string::npos)
      << log.text();
  jack_set_buffer_size(other, kPeriodFrames);
  jack_client_close(other);
}
