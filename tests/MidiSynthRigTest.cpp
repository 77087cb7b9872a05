// The test synthesizer: the playback tests trust that an RtMidiOut opening port 0
// reaches it, that it records every message unchanged (SysEx and timing included) with
// a sensible arrival time, and which input port is port 0 when several exist.
#include <RtMidi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/TestJack.h"
#include "tests/support/TestSynth.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Port 0 as the service's output sees it, from a fresh enumeration.
std::string outputPortZero() {
  RtMidiOut enumeration(RtMidi::UNIX_JACK, "rig enumeration");
  return enumeration.getPortCount() == 0 ? "" : enumeration.getPortName(0);
}

}  // namespace

TEST(SynthRig, RecordsEveryMessageSentToPortZero) {
  TestJack jack;
  ASSERT_TRUE(jack.start());
  TestSynth synth(jack, "Rig Synth");
  ASSERT_TRUE(synth.plug());
  {
    RtMidiOut out(RtMidi::UNIX_JACK, "RtMidi Output Client");
    ASSERT_EQ(out.getPortCount(), 1u);
    EXPECT_EQ(out.getPortName(0), synth.name());
    out.openPort(0, "RtMidi Output");

    const std::vector<Bytes> sent = {{0x90, 60, 100},
                                     {0xC1, 5},
                                     {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
                                     {0xF8},
                                     {0x80, 60, 64}};
    const Clock::time_point before = Clock::now();
    for (Bytes message : sent) out.sendMessage(&message);
    ASSERT_TRUE(synth.waitForCount(sent.size(), std::chrono::seconds(3)));
    const Clock::time_point after = Clock::now();

    std::vector<TestSynth::Message> received = synth.messages();
    ASSERT_EQ(received.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(received[i].bytes, sent[i]) << i;
      EXPECT_GE(received[i].arrival, before) << i;
      EXPECT_LE(received[i].arrival, after) << i;
      if (i > 0) {
        EXPECT_GE(received[i].arrival, received[i - 1].arrival) << i;
      }
    }
    synth.clear();
    EXPECT_TRUE(synth.messages().empty());
    EXPECT_FALSE(synth.waitForCount(1, std::chrono::milliseconds(200)));
  }
  ASSERT_TRUE(synth.unplug());
  EXPECT_EQ(outputPortZero(), "");
}

// JACK lists ports by registration slot, and a closed port's slot goes to the next port
// registered: a port opened later can become port 0.
TEST(SynthRig, PortZeroIsTheInputPortInTheLowestFreeSlot) {
  TestJack jack;
  ASSERT_TRUE(jack.start());
  TestSynth first(jack, "First Synth");
  TestSynth second(jack, "Second Synth");
  TestSynth third(jack, "Third Synth");

  ASSERT_TRUE(first.plug());
  ASSERT_TRUE(second.plug());
  EXPECT_EQ(jack.midiSinks(), (std::vector<std::string>{first.name(), second.name()}));
  EXPECT_EQ(outputPortZero(), first.name());

  ASSERT_TRUE(first.unplug());
  EXPECT_EQ(outputPortZero(), second.name());
  ASSERT_TRUE(third.plug());
  EXPECT_EQ(jack.midiSinks(), (std::vector<std::string>{third.name(), second.name()}));
  EXPECT_EQ(outputPortZero(), third.name());
}
