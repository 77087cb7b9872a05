// The JACK test rig itself: the other MIDI tests trust that the server runs under a
// name of its own, that a test keyboard's port appears and disappears as asked, under
// the name a MIDI input enumeration reports, and that it delivers bytes unchanged,
// malformed messages included. Checked with jack_lsp and a plain RtMidiIn; and that a
// burst from the keyboard reaches the test synthesizer whole, each message once.
#include <RtMidi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"
#include "tests/support/TestXrunCounter.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Whether jack_lsp reaches the named server and lists the port.
bool jackLspLists(const std::string& server, const std::string& port) {
  FILE* pipe = popen(("jack_lsp -s '" + server + "' 2>/dev/null").c_str(), "r");
  std::string listing;
  char buffer[512];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) listing.append(buffer, n);
  return pclose(pipe) == 0 && contains(listing, port + "\n");
}

}  // namespace

TEST(JackRig, ServerAndKeyboardComeAndGoUnderTheirNames) {
  TestJack other;
  TestJack jack;
  EXPECT_NE(jack.serverName(), other.serverName());
  EXPECT_EQ(std::string(std::getenv("JACK_DEFAULT_SERVER")), jack.serverName());
  ASSERT_TRUE(jack.start());
  EXPECT_TRUE(jackLspLists(jack.serverName(), "system:playback_1"));
  EXPECT_TRUE(jack.midiSources().empty());  // the dummy backend has no MIDI ports

  {
    TestKeyboard keyboard(jack, "Rig Piano");
    ASSERT_TRUE(keyboard.plug());
    EXPECT_TRUE(jackLspLists(jack.serverName(), "Rig Piano:MIDI 1"));
    RtMidiIn enumeration(RtMidi::UNIX_JACK, "rig enumeration");
    ASSERT_EQ(enumeration.getPortCount(), 1u);
    EXPECT_EQ(enumeration.getPortName(0), keyboard.name());
    ASSERT_TRUE(keyboard.unplug());
    EXPECT_FALSE(jackLspLists(jack.serverName(), keyboard.name()));
    EXPECT_EQ(enumeration.getPortCount(), 0u);
    ASSERT_TRUE(keyboard.plug());
  }
  // The test's own clients go first: libjack may crash closing a client whose
  // server has ended.
  jack.stop();
  EXPECT_FALSE(jack.running());
  EXPECT_FALSE(jackLspLists(jack.serverName(), "system:playback_1"));
}

TEST(JackRig, KeyboardDeliversEveryMessageUnchanged) {
  TestJack jack;
  ASSERT_TRUE(jack.start());
  TestKeyboard keyboard(jack, "Rig Piano");
  ASSERT_TRUE(keyboard.plug());

  struct Sink {
    std::mutex mutex;
    std::vector<Bytes> received;
  } sink;
  RtMidiIn listener(RtMidi::UNIX_JACK, "rig listener");
  listener.setCallback(
      [](double, Bytes* message, void* user) {
        Sink* sink = static_cast<Sink*>(user);
        std::lock_guard<std::mutex> lock(sink->mutex);
        sink->received.push_back(*message);
      },
      &sink);
  listener.ignoreTypes(false, false, false);
  listener.openPort(0, "listen");
  ASSERT_TRUE(eventually([&] {
    return jack.connections(keyboard.name()) == std::vector<std::string>{"rig listener:listen"};
  }));
  // A connection the server lists may carry data only from a later cycle: Active
  // Sensing goes out until one arrives, then what arrived is forgotten.
  ASSERT_TRUE(eventually([&] {
    keyboard.send({0xFE});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> lock(sink.mutex);
    return !sink.received.empty();
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.received.clear();
  }

  std::vector<Bytes> expected = {{0x90, 60, 100},    {0x90}, {0x91, 60}, {0x3C, 0x40},
                                 {0xF0, 0x7E, 0xF7}, {0xF8}, {0xFE}};
  for (const Bytes& message : expected) keyboard.send(message);
  keyboard.noteOn(61, 127, 3);
  keyboard.noteOff(61, 3);
  expected.push_back({0x93, 61, 127});
  expected.push_back({0x83, 61, 64});
  EXPECT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(sink.mutex);
    return sink.received.size() >= expected.size();
  }));
  std::lock_guard<std::mutex> lock(sink.mutex);
  EXPECT_EQ(sink.received, expected);
}

TEST(JackRig, BurstFromKeyboardReachesSynthWholeAndOnce) {
  TestJack jack;
  ASSERT_TRUE(jack.start());
  TestXrunCounter xruns;
  ASSERT_TRUE(xruns.open());
  TestSynth synth(jack, "Rig Synth");
  TestKeyboard keyboard(jack, "Rig Piano");
  ASSERT_TRUE(synth.plug());
  ASSERT_TRUE(keyboard.plug());
  ASSERT_TRUE(jack.connect(keyboard.name(), synth.name()));
  ASSERT_TRUE(synth.hearsFrom(keyboard));
  uint64_t deliveredBefore = keyboard.delivered();  // the probes

  // Many messages of one, two, three and more bytes, sent while the periods run, so
  // that a period often begins between two of them; each is told apart by its bytes.
  std::vector<Bytes> sent;
  for (int i = 0; i < 2000; ++i) {
    unsigned char tag = static_cast<unsigned char>(i % 128);
    switch (i % 4) {
      case 0: sent.push_back({0x90, tag, 100}); break;
      case 1: sent.push_back({0xF0, 0x7E, tag, 0xF7}); break;
      case 2: sent.push_back({0xC3, tag}); break;
      default: sent.push_back({0xF8}); break;
    }
    while (!keyboard.send(sent.back())) std::this_thread::yield();  // ring full: wait
    if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::microseconds(700));
  }
  // Without an xrun all of them; an xrun may take what was under way in its period.
  bool all = synth.waitForCount(sent.size(), std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing more may come
  EXPECT_EQ(keyboard.delivered() - deliveredBefore, sent.size());
  std::vector<TestSynth::Message> heard = synth.messages();
  // Whatever an xrun took, what arrived is what was sent, in order, each once.
  size_t next = 0;
  for (const TestSynth::Message& m : heard) {
    while (next < sent.size() && sent[next] != m.bytes) ++next;
    ASSERT_LT(next, sent.size()) << "a message arrived that was not sent next, or twice";
    ++next;
  }
  if (xruns.count() == 0) {
    EXPECT_TRUE(all);
    EXPECT_EQ(heard.size(), sent.size());
    EXPECT_EQ(synth.unreadable(), 0u);
  } else {
    std::printf("%llu xruns; %zu of %zu heard, %llu unreadable\n",
                static_cast<unsigned long long>(xruns.count()), heard.size(), sent.size(),
                static_cast<unsigned long long>(synth.unreadable()));
  }
}
