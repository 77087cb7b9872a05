// What stk::MidiFileIn gives the playback engine, on files made in code: the bytes of
// each kind of event, the seconds per tick the engine reads once per track before the
// track's first event, and what it does with broken files. A broken file is read in a
// child process under a time and memory limit, so that a crash or a hang shows as an
// outcome instead of ending the test. The engine runs IsWellFormedMidiFile first; the
// two together must never crash or hang.
#include <gtest/gtest.h>
#include <stk/MidiFileIn.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "playback/CvMidiFileCheck.h"
#include "tests/support/TestMidiFile.h"
#include "tests/support/TestService.h"

namespace {

using Lines = std::vector<std::string>;

// A track's events as "delta: bytes in hex", up to the end the reader reports.
Lines readTrack(stk::MidiFileIn& reader, unsigned track) {
  Lines events;
  std::vector<unsigned char> bytes;
  for (int guard = 0; guard < 1000; ++guard) {
    unsigned long delta = reader.getNextEvent(&bytes, track);
    if (bytes.empty()) break;
    std::string line = std::to_string(delta) + ":";
    char hex[4];
    for (unsigned char byte : bytes) {
      std::snprintf(hex, sizeof(hex), " %02X", byte);
      line += hex;
    }
    events.push_back(line);
  }
  return events;
}

// What reading a whole file does, from the constructor to the end of the last track.
enum class Outcome {
  kReadToEnd,
  kConstructorThrew,  // stk::StkError
  kReadThrew,         // stk::StkError from getNextEvent or getTickSeconds
  kOtherException,    // a standard exception that is not an StkError
  kOutOfMemory,
  kEndlessEvents,
  kCrashed,
  kHung,
};

const char* describe(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReadToEnd: return "reads to the end";
    case Outcome::kConstructorThrew: return "constructor throws StkError";
    case Outcome::kReadThrew: return "getNextEvent throws StkError";
    case Outcome::kOtherException: return "throws a non-StkError std::exception";
    case Outcome::kOutOfMemory: return "runs out of memory";
    case Outcome::kEndlessEvents: return "returns events without end";
    case Outcome::kCrashed: return "crashes";
    case Outcome::kHung: return "hangs";
  }
  return "?";
}

bool harmless(Outcome outcome) { return outcome <= Outcome::kOtherException; }

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory alone is larger than any address-space limit the reader
// could be given, so under it the reader's requests are capped here instead.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=512"; }
#endif

// Runs in the child: the exit status is the Outcome.
Outcome readWholeFile(const std::string& path) {
#if defined(__SANITIZE_ADDRESS__)
  // A request past the cap, or a memory error the sanitizer sees in the reader, ends the
  // child as a crash; its report is the outcome measured and stays beside the file.
  __sanitizer_set_report_path((path + ".sanitizer").c_str());
  __sanitizer_set_death_callback([] { _exit(static_cast<int>(Outcome::kCrashed)); });
#else
  const rlim_t limit = rlim_t{512} << 20;
  rlimit memory = {limit, limit};
  setrlimit(RLIMIT_AS, &memory);
#endif
  stk::Stk::printErrors(false);
  std::unique_ptr<stk::MidiFileIn> reader;
  try {
    reader = std::make_unique<stk::MidiFileIn>(path);
  } catch (const stk::StkError&) {
    return Outcome::kConstructorThrew;
  } catch (const std::bad_alloc&) {
    return Outcome::kOutOfMemory;
  } catch (const std::exception&) {
    return Outcome::kOtherException;
  }
  try {
    std::vector<unsigned char> event;
    for (unsigned track = 0; track < reader->getNumberOfTracks(); ++track) {
      reader->getTickSeconds(track);
      int events = 0;  // every event takes at least two bytes of a file this small
      do {
        if (++events > 100000) return Outcome::kEndlessEvents;
        reader->getNextEvent(&event, track);
      } while (!event.empty());
    }
  } catch (const stk::StkError&) {
    return Outcome::kReadThrew;
  } catch (const std::bad_alloc&) {
    return Outcome::kOutOfMemory;
  } catch (const std::exception&) {
    return Outcome::kOtherException;
  }
  return Outcome::kReadToEnd;
}

// Normal files read in milliseconds: 5 s tells a hang from a slow machine.
Outcome probeReader(const std::string& path) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) _exit(static_cast<int>(readWholeFile(path)));
  int status = 0;
  bool ended = eventually([&] { return waitpid(child, &status, WNOHANG) == child; },
                          std::chrono::seconds(5));
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return Outcome::kHung;
  }
  if (WIFSIGNALED(status)) return Outcome::kCrashed;
  return static_cast<Outcome>(WEXITSTATUS(status));
}

// A small song every broken case starts from.
TestMidiFile twoNotes(int format = 0) {
  TestMidiFile song(format, 480);
  song.track().noteOn(0, 0, 60, 100).noteOff(480, 0, 60);
  return song;
}

struct BrokenSong {
  std::string name;
  std::string bytes;
};

// twoNotes() with these bytes between its last note and its End of Track.
std::string twoNotesThen(std::initializer_list<int> bytes) {
  TestMidiFile song = twoNotes();
  song.track(0).raw(bytes);
  return song.bytes();
}

std::vector<BrokenSong> brokenSongs() {
  const std::string good = twoNotes().bytes();
  std::vector<BrokenSong> songs = {
      {"empty file", ""},
      {"only \"MThd\"", "MThd"},
      {"header cut after the format", good.substr(0, 10)},
      {"wrong chunk id", "RIFF" + good.substr(4)},
      {"file cut in the middle of an event", good.substr(0, good.size() - 6)},
      {"delta time of 5 bytes", twoNotesThen({0x81, 0x81, 0x81, 0x81, 0x00, 0x90, 62, 100})},
      {"SysEx length past the end", twoNotesThen({0x00, 0xF0, 0x7F, 0x01})},
      {"meta length past the end", twoNotesThen({0x00, 0xFF, 0x01, 0x7F, 0x41})},
      {"running status after a meta event", twoNotesThen({0x00, 0xFF, 0x01, 0x00, 0x00, 62, 100})},
      {"status byte F4", twoNotesThen({0x00, 0xF4, 0x01})},
  };
  auto add = [&songs](const std::string& name, const TestMidiFile& song) {
    songs.push_back({name, song.bytes()});
  };
  add("format 3", twoNotes(3));
  {
    TestMidiFile song = twoNotes(0);
    song.track().noteOn(0, 1, 64, 90);
    add("format 0 with 2 tracks", song);
  }
  {
    TestMidiFile song = twoNotes(1);
    song.track(0).declaredLength(1000);
    add("track length past the end of the file", song);
    song.track(0).declaredLength(2);
    add("event running past its chunk, inside the file", song);
    song.track(0).declaredLength(0xFFFFFFF8u);
    song.declaredTracks(0xFFFF);
    // The reader takes the count as -1 and the length as -8: back to the same chunk.
    add("65535 tracks, a track length pointing back at its chunk", song);
  }
  {
    TestMidiFile song = twoNotes();
    song.track(0).raw({0x81, 0x81, 0x81, 0x81, 0x81, 0x81}).withoutEndOfTrack();
    add("delta time that never ends", song);
  }
  {
    TestMidiFile song(0, 480);
    song.track().raw({0x00, 60, 100});
    add("running status at the start of a track", song);
  }
  {
    TestMidiFile song(0, 480);
    song.track().meta(0, 0x51, "\x07").noteOn(0, 0, 60, 100);
    add("tempo event of length 1 (format 0)", song);
  }
  {
    TestMidiFile song = twoNotes(1);
    add("65535 tracks declared, 1 present", song.declaredTracks(0xFFFF));
    add("3 tracks declared, 1 present", song.declaredTracks(3));
  }
  {
    // The reader takes a count of 32768 as negative, so it goes on past the last
    // track into whatever follows.
    TestMidiFile song(2, 480);
    for (int track = 0; track < 0x8000; ++track) song.track();
    std::string bytes = song.bytes() + "MTrk" + std::string("\xFF\xFF\xFF\xF8", 4);
    songs.push_back({"32768 tracks, then a chunk pointing back at itself", bytes});
  }
  add("zero tracks (format 1)", TestMidiFile(1, 480));
  add("zero tracks (format 2)", TestMidiFile(2, 480));
  {
    TestMidiFile song(0, 0);
    song.track().noteOn(0, 0, 60, 100);
    add("division 0", song);
  }
  return songs;
}

class MidiFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/midi-file-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string save(const std::string& bytes) {
    std::string path = folder_ + "/song" + std::to_string(++saved_) + ".mid";
    writeFileBytes(path, bytes);
    return path;
  }
  std::string save(const TestMidiFile& song) { return save(song.bytes()); }

 private:
  std::string folder_;
  int saved_ = 0;
};

using MidiFileReader = MidiFileTest;
using MidiFileCheck = MidiFileTest;

// ---- What the reader gives for well-formed files ----

TEST_F(MidiFileReader, ReturnsWholeChannelMessagesWithRunningStatusRestored) {
  TestMidiFile plain(0, 96);
  TestMidiFile running(0, 96);
  for (TestMidiFile* song : {&plain, &running}) {
    song->track()
        .useRunningStatus(song == &running)
        .programChange(0, 1, 5)
        .programChange(0, 1, 6)
        .noteOn(0, 0, 60, 100)
        .noteOn(96, 0, 60, 0)
        .noteOn(0, 0, 64, 90)
        .controller(10, 0, 64, 127)
        .pitchBend(0, 2, 8192)
        .noteOff(200, 0, 64);
  }
  ASSERT_LT(running.bytes().size(), plain.bytes().size());  // status bytes were left out
  const Lines expected = {"0: C1 05",    "0: C1 06",    "0: 90 3C 64", "96: 90 3C 00",
                          "0: 90 40 5A", "10: B0 40 7F", "0: E2 00 40", "200: 80 40 40",
                          "0: FF 2F 00"};
  for (TestMidiFile* song : {&plain, &running}) {
    stk::MidiFileIn reader(save(*song));
    EXPECT_EQ(reader.getFileFormat(), 0);
    EXPECT_EQ(reader.getNumberOfTracks(), 1u);
    EXPECT_EQ(reader.getDivision(), 96);
    EXPECT_EQ(readTrack(reader, 0), expected);
  }
}

// The engine sends SysEx as read: the bytes carry the file's length prefix after F0.
// Meta events start with FF, then type, length and data; their deltas count.
TEST_F(MidiFileReader, ReturnsSysExAndMetaEventsAsStoredInTheFile) {
  TestMidiFile song(0, 480);
  song.track()
      .sysEx(0, {0x7E, 0x7F, 0x09, 0x01})
      .raw({0x00, 0xF7, 0x02, 0x43, 0xF7})  // an escape: bytes sent as they are
      .text(5, "hi")
      .timeSignature(0, 3, 2)
      .tempo(7, 100)
      .noteOn(1, 0, 60, 100)
      .withoutEndOfTrack();
  stk::MidiFileIn reader(save(song));
  EXPECT_EQ(readTrack(reader, 0), (Lines{"0: F0 05 7E 7F 09 01 F7", "0: F7 02 43 F7",
                                         "5: FF 01 02 68 69", "0: FF 58 04 03 02 18 08",
                                         "7: FF 51 03 09 27 C0", "1: 90 3C 64"}));
}

TEST_F(MidiFileReader, ReadsFormat1TracksApartInTrackOrder) {
  TestMidiFile song(1, 480);
  song.track().timeSignature(0, 4, 2);
  song.track().noteOn(0, 9, 36, 80).noteOff(240, 9, 36);
  song.track().noteOn(120, 0, 60, 70);
  stk::MidiFileIn reader(save(song));
  EXPECT_EQ(reader.getFileFormat(), 1);
  ASSERT_EQ(reader.getNumberOfTracks(), 3u);
  EXPECT_EQ(readTrack(reader, 2), (Lines{"120: 90 3C 46", "0: FF 2F 00"}));
  EXPECT_EQ(readTrack(reader, 0), (Lines{"0: FF 58 04 04 02 18 08", "0: FF 2F 00"}));
  EXPECT_EQ(readTrack(reader, 1), (Lines{"0: 99 24 50", "240: 89 24 40", "0: FF 2F 00"}));
}

// Read once per track before its first event, as the engine does: 0.5 / division (120
// beats per minute) except for track 0 of a format-1 file with a tempo at tick 0.
TEST_F(MidiFileReader, TickSecondsBeforeTheFirstEvent) {
  const double defaultTick = 0.5 / 480;
  const double tick100 = 0.6 / 480;
  auto firstTickSeconds = [this](const TestMidiFile& song) {
    stk::MidiFileIn reader(save(song));
    std::vector<double> seconds;
    for (unsigned track = 0; track < reader.getNumberOfTracks(); ++track)
      seconds.push_back(reader.getTickSeconds(track));
    return seconds;
  };
  {
    TestMidiFile song(1, 480);
    song.track().timeSignature(0, 4, 2).tempo(0, 100);
    song.track().noteOn(0, 0, 60, 100);
    EXPECT_EQ(firstTickSeconds(song), (std::vector<double>{tick100, defaultTick}));
  }
  {
    TestMidiFile song(1, 480);
    song.track().timeSignature(0, 4, 2).tempo(10, 100);
    song.track().noteOn(0, 0, 60, 100);
    EXPECT_EQ(firstTickSeconds(song), (std::vector<double>{defaultTick, defaultTick}));
  }
  {
    TestMidiFile song(1, 480);
    song.track().timeSignature(0, 4, 2);
    song.track().tempo(0, 100).noteOn(0, 0, 60, 100);
    EXPECT_EQ(firstTickSeconds(song), (std::vector<double>{defaultTick, defaultTick}));
  }
  for (int format : {0, 2}) {
    TestMidiFile song(format, 480);
    song.track().tempo(0, 100).noteOn(0, 0, 60, 100);
    EXPECT_EQ(firstTickSeconds(song), (std::vector<double>{defaultTick})) << "format " << format;
  }
}

// Time code: 1 / (frames per second x ticks per frame), 29 counting as 29.97; a tempo
// event changes nothing. The division comes back as a negative 16-bit value.
TEST_F(MidiFileReader, TickSecondsOfTimeCodeDivisions) {
  TestMidiFile song(1, TestMidiFile::smpteDivision(25, 40));
  song.track().tempo(0, 100).noteOn(0, 0, 60, 100);
  song.track().noteOn(0, 0, 62, 100);
  stk::MidiFileIn reader(save(song));
  EXPECT_EQ(reader.getDivision(), -6360);  // 0xE728
  EXPECT_DOUBLE_EQ(reader.getTickSeconds(0), 0.001);
  EXPECT_DOUBLE_EQ(reader.getTickSeconds(1), 0.001);

  const std::pair<int, double> rates[] = {{24, 24.0}, {29, 29.97}, {30, 30.0}};
  for (const auto& [frames, perSecond] : rates) {
    TestMidiFile timeCode(0, TestMidiFile::smpteDivision(frames, 80));
    timeCode.track().noteOn(0, 0, 60, 100);
    stk::MidiFileIn timeCodeReader(save(timeCode));
    EXPECT_DOUBLE_EQ(timeCodeReader.getTickSeconds(0), 1 / (perSecond * 80)) << frames;
  }
}

// ---- Broken files: the reader, and the check the engine runs before it ----

TEST_F(MidiFileReader, NeverCrashesOrHangsOnAFileTheCheckPasses) {
  std::printf("%-58s %-38s %s\n", "file", "reader", "check");
  for (const BrokenSong& song : brokenSongs()) {
    const std::string path = save(song.bytes);
    const Outcome outcome = probeReader(path);
    std::string why;
    const bool passes = IsWellFormedMidiFile(path, &why);
    std::printf("%-58s %-38s %s\n", song.name.c_str(), describe(outcome),
                passes ? "passes" : why.c_str());
    EXPECT_TRUE(harmless(outcome) || !passes) << song.name << ": " << describe(outcome);
  }
}

TEST_F(MidiFileCheck, RefusesEveryBrokenFileWithAReason) {
  for (const BrokenSong& song : brokenSongs()) {
    std::string why;
    EXPECT_FALSE(IsWellFormedMidiFile(save(song.bytes), &why)) << song.name;
    EXPECT_FALSE(why.empty()) << song.name;
  }
  std::string why;
  EXPECT_FALSE(IsWellFormedMidiFile("/nonexistent/song", &why));
  EXPECT_FALSE(why.empty());
}

// A song with every kind of event and the longest delta time.
TestMidiFile everyKindOfEvent(int format, int division) {
  TestMidiFile song(format, division);
  song.track().text(0, "piano").timeSignature(0, 6, 3).tempo(0, 90);
  song.track()
      .useRunningStatus()
      .programChange(0, 0, 1)
      .noteOn(0, 0, 60, 100)
      .noteOn(0x0FFFFFFF, 0, 64, 80)  // the longest delta time: 4 bytes
      .controller(0, 0, 7, 90)
      .message(0, 0xD0, {40})
      .pitchBend(0, 0, 0)
      .sysEx(0, {0x41, 0x10, 0x42})
      .raw({0x00, 0xF7, 0x01, 0xF8})
      .message(0, 0xA0, {60, 10})
      .noteOff(240, 0, 60);
  return song;
}

TEST_F(MidiFileCheck, PassesWellFormedFilesOfEveryFormatAndDivision) {
  for (int format : {1, 2}) {
    for (int division : {480, 1, TestMidiFile::smpteDivision(30, 80)}) {
      std::string why;
      EXPECT_TRUE(IsWellFormedMidiFile(save(everyKindOfEvent(format, division)), &why))
          << format << "/" << division << ": " << why;
    }
  }
  TestMidiFile single(0, 480);
  single.track().tempo(0, 60).noteOn(0, 0, 60, 100).withoutEndOfTrack();
  std::string why;
  EXPECT_TRUE(IsWellFormedMidiFile(save(single), &why)) << why;
}

TEST_F(MidiFileCheck, RefusesEveryCutOfAGoodFile) {
  const std::string whole = everyKindOfEvent(1, 480).bytes();
  for (size_t size = 0; size < whole.size(); ++size)
    EXPECT_FALSE(IsWellFormedMidiFile(save(whole.substr(0, size)), nullptr)) << size;
}

// Random damage to a good file: whatever the check passes, the reader reads safely.
TEST_F(MidiFileCheck, ReaderSurvivesEveryDamagedFileTheCheckPasses) {
  const std::string whole = everyKindOfEvent(1, 480).bytes();
  std::mt19937 random(20240611);
  int passed = 0;
  for (int round = 0; round < 400; ++round) {
    std::string damaged = whole;
    const int hits = 1 + static_cast<int>(random() % 3);
    for (int hit = 0; hit < hits; ++hit)
      damaged[random() % damaged.size()] = static_cast<char>(random() & 0xFF);
    const std::string path = save(damaged);
    if (!IsWellFormedMidiFile(path, nullptr)) continue;
    ++passed;
    const Outcome outcome = probeReader(path);
    EXPECT_TRUE(harmless(outcome)) << "round " << round << ": " << describe(outcome);
  }
  EXPECT_GT(passed, 20);  // the damage must leave some files for the reader
}

}  // namespace
