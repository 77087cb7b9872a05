// The count-off's words for each kind of excerpt, and the accompaniment's volume
// rescaling: what the learner hears before and during a performance.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "playback/CvCountOffSound.h"
#include "playback/CvMidiTaskPlayer.h"

namespace {

// The words of a count-off in short form: "one two set go", hi-hats as "hh".
std::string words(int32_t count, int32_t beats, int32_t beatType, int32_t startBeat = 1) {
  CvCountOffSound sound(500);
  sound.BuildCountOffWords(count, beats, beatType, startBeat);
  std::string text;
  for (const std::string& file : sound.countOffAudioList) {
    std::string word = file.substr(file.find('\\') + 1);
    word = word.substr(0, word.find(".wav"));
    if (word == "hihat_short_loud") word = "hh";
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

}  // namespace

TEST(CountOffWords, EachSignatureCountsItsOwnWay) {
  // Simple time: beats counted, the last two are "set" and "go".
  EXPECT_EQ(words(4, 4, 4), "one two set go");
  EXPECT_EQ(words(5, 4, 4), "one two three set go");
  EXPECT_EQ(words(6, 4, 4), "one two three four set go");
  EXPECT_EQ(words(3, 4, 4), "one set go");
  EXPECT_EQ(words(3, 3, 4), "one set go");
  EXPECT_EQ(words(5, 3, 4), "one two three set go");
  EXPECT_EQ(words(2, 2, 4), "set go");
  EXPECT_EQ(words(5, 5, 4), "one two three set go");
  EXPECT_EQ(words(4, 6, 4), "one two set go");
  // Cut time: half notes, hi-hats between.
  EXPECT_EQ(words(4, 2, 2, 1), "set hh go hh");
  EXPECT_EQ(words(6, 2, 2, 2), "one hh set hh go hh");
  // Compound time: every third tick counted.
  EXPECT_EQ(words(6, 6, 8), "set hh hh go hh hh");
  EXPECT_EQ(words(12, 6, 8), "one hh hh two hh hh set hh hh go hh hh");
  EXPECT_EQ(words(9, 9, 8), "one hh hh set hh hh go hh hh");
  EXPECT_EQ(words(12, 12, 8), "one hh hh two hh hh set hh hh go hh hh");
  EXPECT_EQ(words(24, 12, 8),
            "one hh hh two hh hh three hh hh four hh hh one hh hh two hh hh set hh hh go hh hh");
  EXPECT_EQ(words(7, 7, 8), "one hh hh set hh hh go");
}

TEST(CountOffWords, BeatsBeyondSixteenAreLeftOutAndNothingCountsNothing) {
  // 19/4: the 17th tick has no word, so 18 words sound.
  std::string nineteen = words(19, 19, 4);
  EXPECT_EQ(nineteen,
            "one two three four five six seven eight nine ten eleven twelve thirteen fourteen "
            "fifteen sixteen set go");
  EXPECT_EQ(words(0, 4, 4), "");
  EXPECT_EQ(words(-3, 4, 4), "");
  EXPECT_EQ(CountOffWordFile(17), nullptr);
  EXPECT_STREQ(CountOffWordFile(COUNT_OFF_GO), "countoff\\go.wav");
}

TEST(Volume, TheLoudestNotePlaysAtTheAccompanimentVolume) {
  EXPECT_EQ(RescaleVelocity(100, 100, 100), 127);
  EXPECT_EQ(RescaleVelocity(50, 100, 100), 63);
  EXPECT_EQ(RescaleVelocity(100, 100, 50), 63);
  EXPECT_EQ(RescaleVelocity(50, 100, 50), 31);
  // Louder than the loudest note (a controller at 127): clamped to it.
  EXPECT_EQ(RescaleVelocity(127, 90, 100), 127);
  // Never a data byte above 127: a volume above 100, or a song without a loud note.
  for (int volume : {101, 150, 100000}) EXPECT_EQ(RescaleVelocity(127, 127, volume), 127);
  EXPECT_EQ(RescaleVelocity(127, 0, 100), 127);
  EXPECT_EQ(RescaleVelocity(64, 0, 100), 64);
  EXPECT_EQ(RescaleVelocity(64, 64, 0), 0);
}
