// The song timing arithmetic: the count-off lengths the web application receives, the
// tick counts behind the count-off words and the index search of the schedule.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "playback/CvSongTiming.h"

namespace {


CvSongParameters song(int beats, int beatType, int tempo, int startBeat, int startPosition) {
  CvSongParameters s;
  SetSongParameters(s, beats, tempo, beatType, 1, 1, startBeat, 1, 0, 0, startPosition);
  return s;
}

// What the count-off command answers as "duration".
int countOffDuration(const CvSongParameters& s) {
  return ExpectedCountOffDuration(ComputeNumTicks(s),
                                  ComputeTickSpacing(s.tempo, s.beats, s.beatType),
                                  s.startPosition, s.beats, s.beatType);
}

TEST(SongTiming, ParametersStartAtTheirInitialValuesAndAreStoredInOrder) {
  CvSongParameters s;
  EXPECT_EQ(std::vector<int>({120, 1, 1, 1, 1}),
            std::vector<int>({s.tempo, s.startMeasure, s.endMeasure, s.startBeat, s.endBeat}));
  SetSongParameters(s, 5, 77, 4, 2, 9, 3, 4, 1500, 9000, 2);
  EXPECT_EQ(std::vector<int>({5, 77, 4, 2, 9, 3, 4, 1500, 9000, 2}),
            std::vector<int>({s.beats, s.tempo, s.beatType, s.startMeasure, s.endMeasure,
                              s.startBeat, s.endBeat, s.startTime, s.endTime, s.startPosition}));
}

TEST(SongTiming, ThreeEightIsFourFourOnlyAboveTempo100) {
  for (auto [tempo, beats, beatType] : {std::tuple{101, 4, 4}, {100, 6, 8}, {60, 6, 8}}) {
    CvSongParameters s = song(3, 8, tempo, 1, 1);
    EXPECT_EQ(std::pair(beats, beatType), std::pair(s.beats, s.beatType)) << tempo;
  }
  CvSongParameters fast = song(6, 8, 140, 1, 1);
  EXPECT_EQ(std::pair(6, 8), std::pair(fast.beats, fast.beatType));
}

TEST(SongTiming, CompoundMeters) {
  for (auto [b, t] : {std::pair{6, 8}, {9, 8}, {12, 8}, {3, 8}, {6, 16}, {6, 2}, {7, 8}})
    EXPECT_TRUE(IsCompoundMeter(b, t)) << b << "/" << t;
  for (auto [b, t] : {std::pair{6, 4}, {3, 4}, {4, 4}, {2, 2}, {5, 8}})
    EXPECT_FALSE(IsCompoundMeter(b, t)) << b << "/" << t;
}

TEST(SongTiming, TickSpacingTruncatesAndOnlyTwoTwoCountsHalves) {
  struct { int tempo, beats, beatType, spacing; } cases[] = {
      {60, 4, 4, 1000}, {90, 4, 4, 666}, {72, 3, 4, 833}, {120, 6, 8, 250},
      {100, 6, 8, 300}, {80, 2, 2, 750}, {144, 4, 4, 416}, {110, 6, 8, 272},
      {80, 3, 2, 1500}, {120, 6, 16, 125}};
  for (const auto& c : cases)
    EXPECT_EQ(c.spacing, ComputeTickSpacing(c.tempo, c.beats, c.beatType))
        << c.tempo << " " << c.beats << "/" << c.beatType;
}

TEST(SongTiming, NumTicksOfTheFourFourTable) {
  const int onBeat[] = {3, 4, 5, 6, 3, 3, 3};   // startBeat 0 .. 6, startPosition 1
  const int offBeat[] = {4, 5, 6, 3, 4, 4, 4};  // the same, startPosition 2
  for (int beat = 0; beat <= 6; ++beat) {
    EXPECT_EQ(onBeat[beat], ComputeNumTicks(song(4, 4, 90, beat, 1))) << beat;
    EXPECT_EQ(offBeat[beat], ComputeNumTicks(song(4, 4, 90, beat, 2))) << beat;
  }
  EXPECT_EQ(3, ComputeNumTicks(song(4, 4, 90, 3, 4)));
}

TEST(SongTiming, NumTicksOfOtherMeters) {
  struct { int beats, beatType, tempo, startBeat, ticks; } cases[] = {
      {3, 4, 72, 1, 3},   {3, 4, 120, 3, 5},  {2, 4, 90, 1, 2},   {5, 4, 90, 1, 5},
      {2, 2, 90, 1, 4},   {2, 2, 90, 2, 6},   {2, 2, 90, 3, 6},   {6, 4, 90, 1, 4},
      {6, 4, 90, 2, 5},   {6, 4, 140, 3, 4},  {6, 4, 90, 4, 8},   {6, 4, 90, 0, -1},
      {6, 8, 90, 1, 6},   {6, 8, 100, 1, 6},  {6, 8, 101, 1, 12}, {6, 8, 120, 2, 13},
      {9, 8, 90, 1, 9},   {12, 8, 90, 1, 12}, {12, 8, 120, 1, 24}, {7, 8, 90, 1, 7},
      {7, 8, 120, 1, 14}, {19, 4, 90, 1, 19}, {3, 8, 90, 1, 6}};
  for (const auto& c : cases)
    EXPECT_EQ(c.ticks, ComputeNumTicks(song(c.beats, c.beatType, c.tempo, c.startBeat, 1)))
        << c.beats << "/" << c.beatType << " tempo " << c.tempo << " beat " << c.startBeat;
}

TEST(SongTiming, CountOffDurationHoldsOnlyTheFinalFourFourStick) {
  EXPECT_EQ(2662, countOffDuration(song(4, 4, 90, 1, 1)));
  EXPECT_EQ(2996, countOffDuration(song(4, 4, 90, 1, 3)));
  EXPECT_EQ(2000, countOffDuration(song(4, 4, 120, 1, 1)));
  EXPECT_EQ(2125, countOffDuration(song(4, 4, 120, 1, 2)));
  EXPECT_EQ(2499, countOffDuration(song(3, 4, 72, 1, 1)));
  EXPECT_EQ(1998, countOffDuration(song(3, 8, 90, 1, 1)));  // as 6/8: 6 x 333
  EXPECT_EQ(3000, countOffDuration(song(6, 8, 120, 1, 1)));
}

TEST(SongTiming, FourFourCountOffLengthIsPrintedBetweenAtLines) {
  const std::string at(28, '@');
  testing::internal::CaptureStdout();
  ExpectedCountOffDuration(4, 666, 1, 4, 4);
  ExpectedCountOffDuration(3, 833, 1, 3, 4);
  EXPECT_EQ(at + "\n2662\n" + at + "\n", testing::internal::GetCapturedStdout());
}

TEST(SongTiming, FinalStickIsQuartersOfATruncatedTick) {
  struct { int spacing, startPosition, wait; } cases[] = {
      {500, 1, 500}, {500, 2, 125}, {500, 4, 375}, {666, 1, 664}, {666, 3, 332}};
  for (const auto& c : cases)
    EXPECT_EQ(c.wait, FinalStickWait(c.spacing, c.startPosition)) << c.spacing;
}

TEST(SongTiming, MetronomeCountsNormalisedBeatsOfTheExcerpt) {
  CvSongParameters s;
  SetSongParameters(s, 4, 90, 4, 1, 4, 1, 4, 0, 0, 1);
  EXPECT_EQ(16, MetronomeBeatCount(s));
  SetSongParameters(s, 4, 90, 4, 3, 3, 2, 2, 0, 0, 1);
  EXPECT_EQ(1, MetronomeBeatCount(s));
  SetSongParameters(s, 3, 90, 8, 1, 2, 1, 1, 0, 0, 1);  // counted as 6/8
  EXPECT_EQ(7, MetronomeBeatCount(s));
}

TEST(SongTiming, TicksToMillisecondsRescalesTheReadersTempo) {
  const double tickSeconds = 0.5 / 480;  // division 480 at the reader's 120 bpm
  EXPECT_DOUBLE_EQ(500.0, TicksToMilliseconds(480, tickSeconds, 120));
  EXPECT_DOUBLE_EQ(1000.0, TicksToMilliseconds(480, tickSeconds, 60));
  EXPECT_NEAR(666.6667, TicksToMilliseconds(480, tickSeconds, 90), 1e-4);
  EXPECT_NEAR(1.0416667, TicksToMilliseconds(1, tickSeconds, 120), 1e-7);
}

TEST(SongTiming, NearestTickIndexPrefersTheLaterTickOnATie) {
  const std::vector<int32_t> even{0, 500, 1000};
  for (auto [position, index] :
       {std::pair{0, 0}, {250, 1}, {249, 0}, {251, 1}, {1000, 2}, {5000, 2}, {750, 2}})
    EXPECT_EQ(index, FindNearestTickIndex(even, position)) << position;
  const std::vector<int32_t> uneven{100, 200, 1000};
  EXPECT_EQ(0, FindNearestTickIndex(uneven, 20));  // before the first tick time
  EXPECT_EQ(1, FindNearestTickIndex(uneven, 599));
  EXPECT_EQ(2, FindNearestTickIndex(uneven, 600));
  EXPECT_EQ(0, FindNearestTickIndex({}, 300));
  EXPECT_EQ(0, FindNearestTickIndex({700}, 5));
}

TEST(SongTiming, ElapsedMillisecondsTruncateTowardZero) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, ElapsedMilliseconds(start, start + std::chrono::microseconds(1999)));
  EXPECT_EQ(2, ElapsedMilliseconds(start, start + std::chrono::microseconds(2000)));
  EXPECT_EQ(-1, ElapsedMilliseconds(start + std::chrono::microseconds(1999), start));
}

TEST(SongTiming, SongsNoneCanHaveAreFaultyInsteadOfDividingByZeroOrCountingForever) {
  EXPECT_EQ(SongParameterFault(song(4, 4, 90, 1, 1)), "");
  EXPECT_NE(SongParameterFault(CvSongParameters{}), "");  // nothing sent yet
  // The edges of every range are songs; one past them is not.
  for (const CvSongParameters& s : {song(4, 4, 20, 4, 4), song(4, 4, 400, 1, 1),
                                    song(64, 64, 90, 64, 1), song(1, 1, 90, 1, 1),
                                    song(3, 8, 101, 4, 1), song(19, 4, 60, 1, 1)})
    EXPECT_EQ(SongParameterFault(s), "") << s.beats << "/" << s.beatType << " at " << s.tempo;
  for (const CvSongParameters& s : {song(4, 4, 0, 1, 1), song(4, 4, -60, 1, 1),
                                    song(4, 0, 90, 1, 1), song(0, 8, 90, 1, 1),
                                    song(4, 4, 250000, 1, 1)})
    EXPECT_NE(SongParameterFault(s), "") << s.beats << "/" << s.beatType << " at " << s.tempo;
  const std::pair<CvSongParameters, const char*> faults[] = {
      {song(4, 4, 1, 1, 1), "tempo 1 is outside 20..400"},
      {song(4, 4, 19, 1, 1), "tempo 19 is outside 20..400"},
      {song(4, 4, 401, 1, 1), "tempo 401 is outside 20..400"},
      {song(65, 4, 90, 1, 1), "beats 65 is outside 1..64"},
      {song(4, 128, 90, 1, 1), "beatType 128 is outside 1..64"},
      {song(4, 4, 90, 2000000000, 1), "startBeat 2000000000 is outside 1..4"},
      {song(3, 4, 90, 4, 1), "startBeat 4 is outside 1..3"},
      {song(4, 4, 90, 0, 1), "startBeat 0 is outside 1..4"},
      {song(4, 4, 90, 1, 2000000000), "startPosition 2000000000 is outside 1..4"},
      {song(4, 4, 90, 1, 0), "startPosition 0 is outside 1..4"},
      {song(6, 8, 90, 1, 5), "startPosition 5 is outside 1..4"},
  };
  for (const auto& fault : faults) EXPECT_EQ(SongParameterFault(fault.first), fault.second);
  EXPECT_EQ(0, ComputeTickSpacing(0, 4, 4));
  EXPECT_EQ(0, ComputeTickSpacing(90, 4, 0));
  EXPECT_EQ(0.0, TicksToMilliseconds(480, 0.5 / 480, 0));
}

}  // namespace
