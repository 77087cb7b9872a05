// Pitch naming, and what the MIDI input callback keeps of each message in each
// capture mode, called in-process the way the MIDI library calls it.
#include <gtest/gtest.h>

#include <vector>

#include "link/CvSocketUtility.h"
#include "midi/CvKeyClock.h"
#include "midi/CvMidiRecording.h"
#include "midi/CvMidiState.h"
#include "midi/CvMidiTask.h"
#include "midi/CvPitchNames.h"
#include "midi/CvRecordingList.h"

namespace {

using Bytes = std::vector<unsigned char>;
using boost::posix_time::milliseconds;

void deliver(Bytes message) { CvMidiRecording::RecordingCallback(0.0, &message, nullptr); }

class Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recording_list.clear();
    application_current_action.store(ACTION_IDLE);
  }
  void TearDown() override { SetUp(); }
};

}  // namespace

TEST(PitchNames, NamesNotesWithSharpsAndOctaves) {
  CvPitchNames names;
  auto expect = [&](int note, const char* pitch, int octave) {
    CvNotePitch named = names.noteToPitch(note);
    EXPECT_EQ(named.pitch, pitch) << note;
    EXPECT_EQ(named.octave, octave) << note;
  };
  expect(60, "C", 4);
  expect(61, "Csharp", 4);
  expect(21, "A", 0);
  expect(108, "C", 8);
  expect(127, "G", 9);
  expect(0, "C", -1);
  expect(-1, "", 0);
  EXPECT_EQ(names.pitchToNote("A", 0), 21);
  EXPECT_EQ(names.pitchToNote("Csharp", 3), 49);
  EXPECT_EQ(names.pitchToNote("C", -1), 0);
  // Unknown names (flats, lower case) count as C.
  EXPECT_EQ(names.pitchToNote("Db", 3), 48);
  EXPECT_EQ(names.pitchToNote("c", 4), 60);
  for (int note = 0; note <= 127; ++note) {
    CvNotePitch named = names.noteToPitch(note);
    EXPECT_EQ(names.pitchToNote(named.pitch, named.octave), note);
  }
  // An absurd octave from the web application wraps instead of overflowing.
  names.pitchToNote("B", 2147483647);
}

// The key clock follows the library's deltas, never dates a message after it was
// handled, and starts again wherever the chain cannot be trusted.
TEST(KeyClock, DatesMessagesByTheirDeltasAndRestartsStaleChains) {
  using std::chrono::microseconds;
  using Clock = CvKeyClock::Clock;
  CvKeyClock clock;
  const Clock::time_point t0 = Clock::now();
  auto since = [&](Clock::time_point at) {
    return std::chrono::duration_cast<microseconds>(at - t0).count();
  };
  // The first message is dated when it is handled.
  EXPECT_EQ(since(clock.arrived(0.0, t0)), 0);
  // Two messages handled together, 3 ms after one another: the second keeps its delta
  // (within the stretch's tenth of a per mille).
  EXPECT_NEAR(since(clock.arrived(0.010, t0 + microseconds(12000))), 10000, 2);
  EXPECT_NEAR(since(clock.arrived(0.003, t0 + microseconds(12000))), 12000, 2);
  // A delta that would date it after it was handled is pulled back to now, and the
  // chain goes on from there.
  EXPECT_EQ(since(clock.arrived(0.050, t0 + microseconds(20000))), 20000);
  EXPECT_NEAR(since(clock.arrived(0.001, t0 + microseconds(30000))), 21000, 2);
  // A chain a JACK clock slower than the steady one would carry earlier and earlier
  // drifts later instead, and now() holds it: 0.99995 s deltas handled 1 s apart.
  Clock::time_point handled = t0 + microseconds(30000);
  Clock::time_point dated = handled;
  for (int k = 0; k < 200; ++k) {
    handled += microseconds(1000000);
    dated = clock.arrived(0.99995, handled);
  }
  EXPECT_LE(since(handled) - since(dated), 100);
  // Stale chains start again at now: a delta below zero, an instant far before now,
  // and a reopened input whose first message's delta runs on from the old port.
  EXPECT_EQ(clock.arrived(-0.5, handled + microseconds(1000)), handled + microseconds(1000));
  EXPECT_EQ(clock.arrived(0.0, handled + CvKeyClock::kStale + microseconds(2000)),
            handled + CvKeyClock::kStale + microseconds(2000));
  clock.restart();
  Clock::time_point reopened = handled + std::chrono::seconds(5);
  EXPECT_EQ(clock.arrived(0.001, reopened), reopened);
  EXPECT_NEAR(since(clock.arrived(0.004, reopened + microseconds(9000))),
              since(reopened) + 4000, 2);
}

TEST_F(Capture, SongRecordingKeepsEveryPressInOrderWithItsTime) {
  g_recording_start_time.store(std::chrono::steady_clock::now() - std::chrono::milliseconds(1000));
  g_recording_offset_ms.store(250);
  application_current_action.store(ACTION_RECORD_SONG);
  deliver({0x90, 60, 100});
  deliver({0x80, 60, 0});     // Note Off
  deliver({0x91, 64, 90});
  deliver({0x91, 64, 0});     // Note On with velocity 0 ends a note
  deliver({0x9F, 67, 1});
  std::vector<CvMidiEvent> events = g_recording_list.snapshot();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].note, 60);
  EXPECT_EQ(events[0].velocity, 100);
  EXPECT_EQ(events[0].channel, 0);
  EXPECT_EQ(events[1].note, 64);
  EXPECT_EQ(events[1].channel, 1);
  EXPECT_EQ(events[2].channel, 15);
  EXPECT_EQ(events[2].bytes, (Bytes{0x9F, 67, 1}));
  // About 1000 ms after the start, less the 250 ms offset.
  EXPECT_GE(events[0].time, 750);
  EXPECT_LT(events[0].time, 750 + 2000);
  EXPECT_LE(events[0].time, events[2].time);
  g_recording_offset_ms.store(0);
}

TEST_F(Capture, OddMessagesNeverStopTheRecording) {
  application_current_action.store(ACTION_RECORD_SONG);
  deliver({});                          // empty
  deliver({0x90});                      // status only
  deliver({0x90, 60});                  // one data byte short
  deliver({60, 100});                   // running status: data bytes only
  deliver({0xF0, 0x7E, 0x7F, 0xF7});    // SysEx
  deliver({0xF8});                      // clock
  deliver({0xFE});                      // active sensing
  deliver({0xB0, 64, 127});             // sustain pedal
  EXPECT_TRUE(g_recording_list.snapshot().empty());
  deliver({0x90, 72, 80, 0x00});        // a longer message still counts
  ASSERT_EQ(g_recording_list.snapshot().size(), 1u);
  EXPECT_EQ(g_recording_list.snapshot()[0].note, 72);
}

TEST_F(Capture, IdleCapturesNothing) {
  deliver({0x90, 60, 100});
  EXPECT_TRUE(g_recording_list.snapshot().empty());
}

TEST_F(Capture, DeviceTestKeepsTheLatestPressForOneHundredFiftyMilliseconds) {
  CvMidiTask task;
  EXPECT_EQ(task.GetMidiEvent().velocity, 0);  // nothing pressed yet

  application_current_action.store(ACTION_TEST_DEVICE);
  boost::posix_time::ptime before = CvSocketUtility::utcNow();
  deliver({0x90, 60, 100});
  deliver({0x90, 62, 70});
  ASSERT_EQ(g_recording_list.snapshot().size(), 1u);
  EXPECT_GE(g_last_test_note_time.load(), before);
  CvMidiEvent latest = task.GetMidiEvent();
  EXPECT_EQ(latest.note, 62);
  EXPECT_EQ(latest.velocity, 70);
  EXPECT_EQ(g_recording_list.snapshot().size(), 1u);  // reading leaves it

  CvMidiEvent stale = g_recording_list.snapshot()[0];
  g_recording_list.replaceWithTestNote(stale, CvSocketUtility::utcNow() - milliseconds(149));
  EXPECT_EQ(task.GetMidiEvent().velocity, 70) << "149 ms old is still fresh";
  g_recording_list.replaceWithTestNote(stale, CvSocketUtility::utcNow() - milliseconds(150));
  EXPECT_EQ(task.GetMidiEvent().velocity, 0) << "150 ms old is too old";
}
