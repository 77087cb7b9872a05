// The command chain in-process: which flow answers which code, and the one side
// effect of the plugin-version command.
#include <set>

#include <gtest/gtest.h>

#include "link/CvFlowChain.h"
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
