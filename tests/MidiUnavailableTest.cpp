// The service on a machine with no MIDI system at all (no ALSA sequencer, no JACK
// server): it starts, answers the device commands as for "no device", says once in
// its log why MIDI is unavailable and does not repeat it every monitor pass; a JACK
// server that starts later is picked up without a restart.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

namespace {

size_t linesOf(const std::string& text) { return countOf(text, "\n"); }

// Log lines that say MIDI is unavailable, in whatever words.
size_t unavailableLines(const std::string& log) {
  static const std::regex line("MIDI[^\n]*(unavailable|not available)", std::regex::icase);
  return std::distance(std::sregex_iterator(log.begin(), log.end(), line), std::sregex_iterator());
}

}  // namespace

TEST(NoMidiSystem, ServiceAnswersAsForNoDeviceAndSaysWhyOnce) {
  TestJack none;  // names a server that never runs: this machine has no ALSA sequencer
  TestService service;
  ASSERT_TRUE(service.start());
  TestClient webApplication;
  ASSERT_TRUE(connectWebApplication(webApplication));

  // The monitor passes every 50 ms while the application is connected: two seconds
  // are some forty passes, and must not leave a line each.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  size_t logLines = linesOf(service.log());
  size_t outputLines = linesOf(service.output());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LE(linesOf(service.log()), logLines + 5) << service.log();
  EXPECT_LE(linesOf(service.output()), outputLines + 5) << service.output();
  EXPECT_GE(unavailableLines(service.log()), 1u) << service.log();

  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.call(3)["data"], Json::Value(Json::arrayValue));
  EXPECT_EQ(client.call(7)["data"], parseJson(R"({"id":"","deviceName":"","deviceCount":0})"));
  EXPECT_EQ(client.call(27)["data"], parseJson(R"({"code":0,"message":"SUCCESS"})"));
  EXPECT_EQ(client.call(29)["data"],
            parseJson(R"({"code":-1,"message":"NOT HAVE MESSAGE FROM DEVICE"})"));
  EXPECT_EQ(client.call(28)["data"], parseJson(R"({"code":0,"message":"SUCCESS"})"));
  EXPECT_EQ(client.call(14, parseJson(R"({"LowestNote":{"pitch":"A","octave":0},)"
                                      R"("HighestNote":{"pitch":"C","octave":8}})"))["data"],
            parseJson(R"({"code":14,"message":"SAVE DB ERROR"})"));
  Json::Value session =
      client.call(2, parseJson(R"({"clientID":"learner-1","token":"t"})"))["data"];
  EXPECT_EQ(session["code"], 0);
  EXPECT_EQ(session["Device"], parseJson(R"({"id":"","deviceName":"","deviceCount":0})"));
  EXPECT_FALSE(session.isMember("PianoLowestNote"));

  EXPECT_LE(unavailableLines(service.log()), 2u) << service.log();
  EXPECT_TRUE(service.running());
  EXPECT_EQ(service.stop(), 0);
}

TEST(NoMidiSystem, JackServerStartedLaterIsPickedUp) {
  TestJack jack;  // the service is pointed at it before it runs
  TestService service;
  ASSERT_TRUE(service.start());
  TestClient webApplication;
  ASSERT_TRUE(connectWebApplication(webApplication));
  EXPECT_EQ(webApplication.call(3)["data"], Json::Value(Json::arrayValue));

  ASSERT_TRUE(jack.start());
  TestKeyboard piano(jack, "Test Piano");
  ASSERT_TRUE(piano.plug());
  EXPECT_TRUE(eventually([&] { return webApplication.call(3)["data"].size() == 1; },
                         std::chrono::seconds(10)));
  EXPECT_EQ(webApplication.call(
                4, parseJson(R"({"deviceName":")" + piano.name() + R"("})"))["data"]["code"],
            0);
  EXPECT_TRUE(eventually([&] { return serviceListensTo(jack, piano); }, std::chrono::seconds(5)));
  EXPECT_TRUE(keyCaptured(webApplication, piano, 60));
}
