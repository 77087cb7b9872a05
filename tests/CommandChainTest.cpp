// The command chain in-process: which flow answers which code, the one side effect of
// the plugin-version command, and what the device-test commands leave of a song's
// recording.
#include <set>

#include <gtest/gtest.h>

#include "link/CvFlowChain.h"
#include "midi/CvMidiRecording.h"
#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"
#include "tests/support/TestClient.h"

namespace {

// The answer the chain gives to text, as the endpoint would send it.
std::string answer(const std::string& text) {
  CvFlowChain chain = CreateFlowChain(text);
  for (auto& flow : chain.flows) {
    if (RunFlow(*flow) == 1) return flow->result;
  }
  return "(no flow answered)";
}

}  // namespace

TEST(CommandChain, EachCodeHasOneFlowAndTheFallbackIsLast) {
  int matchedCodes = 0;
  for (int code = -2; code <= 40; ++code) {
    CvFlowChain chain = CreateFlowChain("{\"methodName\":" + std::to_string(code) + "}");
    int matching = 0;
    for (size_t i = 0; i + 1 < chain.flows.size(); ++i) matching += chain.flows[i]->Matches();
    EXPECT_LE(matching, 1) << "code " << code;
    matchedCodes += matching;
    EXPECT_TRUE(chain.flows.back()->Matches());
  }
  EXPECT_EQ(matchedCodes, static_cast<int>(CreateFlowChain("{}").flows.size()) - 1);
  for (int code : {13, 24, 0, -1, 99}) {
    EXPECT_EQ(answer("{\"methodName\":" + std::to_string(code) + "}"), "No operation");
  }
  EXPECT_EQ(answer(""), "No operation");
}

TEST(CommandChain, PluginVersionStopsMusicButNotThePerformanceState) {
  IS_PLAY_MUSIC.store(true);
  playing_midi_state.store(PLAYING_STATE);
  Json::Value reply = parseJson(answer(R"({"methodName":16,"token":"t"})"));
  EXPECT_FALSE(IS_PLAY_MUSIC.load());
  EXPECT_EQ(playing_midi_state.load(), PLAYING_STATE);
  EXPECT_EQ(reply["data"]["version"], "0.0.4.0");
  EXPECT_EQ(reply["token"], "t");

  // A ping changes nothing.
  IS_PLAY_MUSIC.store(true);
  parseJson(answer(R"({"methodName":1})"));
  EXPECT_TRUE(IS_PLAY_MUSIC.load());
  playing_midi_state.store(STOP_STATE);
  IS_PLAY_MUSIC.store(false);
}

// The polling test ran until the performance's "go" switched capture to the song's
// recording; a key the test kept is still fresh when the learner's first note comes.
TEST(CommandChain, DeviceTestCommandsNeverReportOrEmptyASongsRecording) {
  auto deliver = [](std::vector<unsigned char> message) {
    CvMidiRecording::RecordingCallback(0.0, &message, nullptr);
  };
  parseJson(answer(R"({"methodName":27})"));
  deliver({0x90, 60, 100});
  g_recording_list.clear();  // as the count-off does at "go"
  application_current_action.store(ACTION_RECORD_SONG);
  playing_midi_state.store(PLAYING_STATE);
  deliver({0x90, 62, 90});

  EXPECT_EQ(parseJson(answer(R"({"methodName":29})"))["data"]["code"], -1);
  for (int code : {27, 28, 18}) {
    EXPECT_EQ(parseJson(answer("{\"methodName\":" + std::to_string(code) + "}"))["data"],
              parseJson(R"({"code":6,"message":"PLAY MP3 FILE ERROR"})"))
        << code;
  }
  EXPECT_EQ(application_current_action.load(), ACTION_RECORD_SONG);
  ASSERT_EQ(g_recording_list.snapshot().size(), 1u);
  EXPECT_EQ(g_recording_list.snapshot()[0].note, 62);

  // Once the song is over (and reported), the polling test works again.
  playing_midi_state.store(STOP_STATE);
  g_recording_list.clear();
  EXPECT_EQ(parseJson(answer(R"({"methodName":27})"))["data"]["code"], 0);
  deliver({0x90, 64, 127});
  EXPECT_EQ(parseJson(answer(R"({"methodName":29})"))["data"]["note"]["pitch"], "E");
  EXPECT_EQ(parseJson(answer(R"({"methodName":28})"))["data"]["code"], 0);
  EXPECT_EQ(application_current_action.load(), ACTION_IDLE);
}
