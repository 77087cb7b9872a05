// The rig the playing tests run on, checked without the service: the kind that
// PIANOCORVIDA_TEST_RIG names (one ctest entry per kind). MIDI from the test keyboard
// reaches the test synthesizer in order, in the form the rig's MIDI path delivers;
// clicks the test plays at known instants (through JACK, or through the Pulse server
// on PipeWire) are each captured once, near their time, also when they overlap; and
// the service started on the rig sees the system's SoundFonts only when asked to.
// Delays are printed; the bounds are loose, for a loaded machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "tests/support/TestClickPlayer.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestJackCapture.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestPipeWire.h"
#include "tests/support/TestRig.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<unsigned char>;

const float kThreshold = 0.05f;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Names in a folder as the process pid sees its file system (its own mounts).
std::vector<std::string> seenBy(pid_t pid, const std::string& folder) {
  std::vector<std::string> names;
  boost::system::error_code error;
  fs::path seen = "/proc/" + std::to_string(pid) + "/root" + folder;
  for (fs::directory_iterator entry(seen, error), end; !error && entry != end;
       entry.increment(error)) {
    names.push_back(entry->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Rig : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig_ = std::make_unique<TestRig>(TestRig::kindFromEnvironment(TestRig::Kind::Jack22050));
    ready_ = rig_->start();
    if (ready_) {
      std::printf("rig %s: %u Hz, %u frames per JACK period\n", rig_->name(),
                  rig_->sampleRate(), rig_->jack().periodFrames());
    }
  }
  static void TearDownTestSuite() { rig_.reset(); }
  void SetUp() override { ASSERT_TRUE(ready_) << "the " << rig_->name() << " rig did not start"; }

  // A click player on the rig's sound output, started and (on JACK) heard by the
  // capture.
  static std::unique_ptr<TestClickPlayer> clickPlayer(milliseconds decay) {
    const RtAudio::Api api =
        rig_->kind() == TestRig::Kind::PipeWire ? RtAudio::LINUX_PULSE : RtAudio::UNIX_JACK;
    auto player = std::make_unique<TestClickPlayer>(api, rig_->sampleRate(), 0.5f, decay);
    if (!player->start()) return nullptr;
    auto* graph = dynamic_cast<TestJackCapture*>(&rig_->capture());
    if (graph != nullptr &&
        !eventually([&] { return graph->listensTo(TestClickPlayer::kClientName); })) {
      return nullptr;
    }
    return player;
  }

  // Plays count clicks gap apart, the first 300 ms from now, and returns when the last
  // has rung for tail; when each click went out.
  static std::vector<Clock::time_point> playClicks(TestClickPlayer& player, int count,
                                                   milliseconds gap, milliseconds tail) {
    const Clock::time_point first = Clock::now() + milliseconds(300);
    std::vector<Clock::time_point> due;
    for (int i = 0; i < count; ++i) due.push_back(first + i * gap);
    player.play(due);
    std::this_thread::sleep_until(due.back() + tail);
    return player.played();
  }

  // Each onset's delay after the click it belongs to, in ms, printed; a failure when
  // the counts differ or a delay is outside the loose bounds.
  static void expectOnePerClick(const char* what, const std::vector<Clock::time_point>& played,
                                const std::vector<Clock::time_point>& onsets) {
    ASSERT_EQ(onsets.size(), played.size()) << what;
    std::vector<double> delays;
    for (size_t i = 0; i < played.size(); ++i) delays.push_back(ms(onsets[i] - played[i]));
    std::printf("%s on the %s rig: capture delay after each click (ms):", what, rig_->name());
    for (double delay : delays) std::printf(" %.1f", delay);
    std::printf("\n");
    // On JACK the capture hears the cycle the click went out in; through the Pulse
    // server a click is heard after the stream's buffer. A capture dates its frames
    // from its own stream, so no frame seems to come before it was written, less a
    // period of rounding.
    for (size_t i = 0; i < delays.size(); ++i) {
      EXPECT_GT(delays[i], -25.0) << what << " click " << i;
      EXPECT_LT(delays[i], 300.0) << what << " click " << i;
    }
    // The gaps between clicks survive the trip.
    for (size_t i = 1; i < delays.size(); ++i) {
      EXPECT_NEAR(delays[i], delays[i - 1], 40.0) << what << " click " << i;
    }
  }

  static std::unique_ptr<TestRig> rig_;
  static bool ready_;
};

std::unique_ptr<TestRig> Rig::rig_;
bool Rig::ready_ = false;

}  // namespace

TEST_F(Rig, RunsAtItsKindsRateWithTheSynthesizerAsFirstMidiDestination) {
  const uint32_t rate = rig_->kind() == TestRig::Kind::Jack22050 ? 22050 : 48000;
  EXPECT_EQ(rig_->sampleRate(), rate);
  EXPECT_EQ(rig_->jack().sampleRate(), rate);
  EXPECT_EQ(rig_->capture().sampleRate(), rate);
  if (rig_->kind() == TestRig::Kind::Jack48000) {
    EXPECT_EQ(rig_->jack().periodFrames(), 256u);
  }
  std::vector<std::string> sinks = rig_->jack().midiSinks();
  ASSERT_FALSE(sinks.empty());
  EXPECT_EQ(sinks.front(), rig_->synth().name()) << ::testing::PrintToString(sinks);
  std::vector<std::string> sources = rig_->jack().midiSources();
  EXPECT_NE(std::find(sources.begin(), sources.end(), rig_->keyboard().name()), sources.end());
  EXPECT_EQ(rig_->pipeWire() != nullptr, rig_->kind() == TestRig::Kind::PipeWire);
  if (rig_->pipeWire() != nullptr) {
    // What a program started now reaches: this PipeWire, through pw-jack's libjack.
    EXPECT_TRUE(TestPipeWire::jackIsPipeWire());
    EXPECT_EQ(std::string(std::getenv("XDG_RUNTIME_DIR")), rig_->pipeWire()->folder());
    EXPECT_TRUE(rig_->pipeWire()->running());
  }
}

TEST_F(Rig, KeyboardMessagesReachTheSynthesizerInOrder) {
  rig_->synth().clear();
  ASSERT_TRUE(rig_->jack().connect(rig_->keyboard().name(), rig_->synth().name()));
  ASSERT_TRUE(rig_->synth().hearsFrom(rig_->keyboard()));
  // Notes (also ended by a velocity of 0), controllers, pitch bends and SysEx, some in
  // one burst, some a few ms apart.
  std::vector<Bytes> sent;
  for (int i = 0; i < 24; ++i) {
    const unsigned char note = static_cast<unsigned char>(48 + i);
    sent.push_back({0x90, note, static_cast<unsigned char>(20 + 4 * i)});
    sent.push_back({0xB0, 64, static_cast<unsigned char>(i * 5)});
    if (i % 4 == 0) sent.push_back({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    sent.push_back({0x80, note, 64});
    sent.push_back({0x90, note, 0});
    sent.push_back({0xE0, 0x00, static_cast<unsigned char>(i)});
  }
  std::vector<Clock::time_point> sentAt;
  for (size_t i = 0; i < sent.size(); ++i) {
    rig_->keyboard().send(sent[i]);
    sentAt.push_back(Clock::now());
    if (i % 5 == 4) std::this_thread::sleep_for(milliseconds(7));
  }
  rig_->synth().waitForCount(sent.size(), milliseconds(5000));
  std::this_thread::sleep_for(milliseconds(100));  // nothing more comes
  std::vector<TestSynth::Message> heard = rig_->synth().messages();
  // Every message heard is the next one sent, or a later one when some went missing.
  size_t next = 0;
  double latest = 0;
  for (size_t i = 0; i < heard.size(); ++i) {
    size_t match = next;
    while (match < sent.size() && heard[i].bytes != rig_->delivered(sent[match])) ++match;
    ASSERT_LT(match, sent.size()) << "message " << i << " heard was never sent, or out of order: "
                                  << ::testing::PrintToString(heard[i].bytes);
    latest = std::max(latest, ms(heard[i].arrival - sentAt[match]));
    next = match + 1;
  }
  const size_t lost = sent.size() - heard.size();
  std::printf("keyboard to synthesizer on the %s rig: %zu of %zu messages lost, at most %.1f ms\n",
              rig_->name(), lost, sent.size(), latest);
  // JACK loses nothing. PipeWire drops the MIDI of a cycle that a client missed on a
  // loaded machine: a burst of five here, now and then.
  EXPECT_LE(lost, rig_->kind() == TestRig::Kind::PipeWire ? 10u : 0u);
  EXPECT_LT(latest, 500.0);
}

TEST_F(Rig, ClicksPlayedAtKnownInstantsAreHeardOnceEachNearTheirTime) {
  // Short clicks with silence between them.
  std::unique_ptr<TestClickPlayer> player = clickPlayer(milliseconds(10));
  ASSERT_TRUE(player) << "no click player on the " << rig_->name() << " rig";
  rig_->capture().clear();
  std::vector<Clock::time_point> played =
      playClicks(*player, 8, milliseconds(250), milliseconds(400));
  ASSERT_EQ(played.size(), 8u);
  expectOnePerClick("separate clicks", played,
                    rig_->capture().onsets(kThreshold, milliseconds(60)));
  expectOnePerClick("separate clicks, by their rise", played,
                    rig_->capture().rises(kThreshold, 2.0f, milliseconds(60)));
  EXPECT_GT(rig_->capture().peak(), 0.4f);
  EXPECT_LT(rig_->capture().peak(), 0.6f);
  EXPECT_EQ(rig_->capture().droppedFrames(), 0u);

  // Clicks that ring on under the next one, as notes do: no silence parts them, and
  // only their rise tells them apart.
  std::unique_ptr<TestClickPlayer> ringing = clickPlayer(milliseconds(100));
  ASSERT_TRUE(ringing);
  rig_->capture().clear();
  played = playClicks(*ringing, 5, milliseconds(200), milliseconds(700));
  ASSERT_EQ(played.size(), 5u);
  EXPECT_EQ(rig_->capture().onsets(kThreshold, milliseconds(60)).size(), 1u);
  expectOnePerClick("overlapping clicks", played,
                    rig_->capture().rises(kThreshold, 2.0f, milliseconds(60)));
  EXPECT_EQ(rig_->capture().droppedFrames(), 0u);
}

TEST_F(Rig, ServiceSeesTheSoundFontsOnlyWhenAsked) {
  ASSERT_TRUE(fs::is_directory(kSoundFontFolder)) << "scripts/install-deps.sh installs one";
  const std::vector<std::string> system = seenBy(getpid(), kSoundFontFolder);
  ASSERT_FALSE(system.empty());
  for (TestService::SoundFonts choice :
       {TestService::SoundFonts::Hidden, TestService::SoundFonts::Visible}) {
    const bool visible = choice == TestService::SoundFonts::Visible;
    SCOPED_TRACE(visible ? "visible" : "hidden");
    TestService& service = rig_->service();
    service.setSoundFonts(choice);
    ASSERT_TRUE(service.start()) << service.output();
    EXPECT_EQ(seenBy(service.pid(), kSoundFontFolder),
              visible ? system : std::vector<std::string>());
    // The empty folder is the service's alone.
    EXPECT_EQ(seenBy(getpid(), kSoundFontFolder), system);
    EXPECT_EQ(service.stop(), 0);
  }
}
