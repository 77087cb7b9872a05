// The commands that give up after a fixed wait: the blocking device test (code 8)
// after 60 s without a key, and the latency command (code 15) after 120 s when no
// playback measured a latency. Both run at once, on two connections, so the program
// takes about two minutes.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

TEST(WaitingCommands, DeviceTestTimesOutAfterAMinuteAndLatencyAfterTwo) {
  TestJack jack;
  ASSERT_TRUE(jack.start());
  TestKeyboard piano(jack, "Test Piano");
  ASSERT_TRUE(piano.plug());
  TestService service;
  storeDevice(service, piano.name(), true, 0, 0);
  ASSERT_TRUE(service.start());
  TestClient webApplication;
  ASSERT_TRUE(connectWebApplication(webApplication));
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack, piano); }, seconds(5)));

  auto latency = std::async(std::launch::async, [] {
    TestClient client;
    if (!client.connect()) return std::make_pair(Json::Value("no connection"), milliseconds(0));
    auto started = steady_clock::now();
    Json::Value answer = client.call(15, Json::Value(), "test-client", seconds(200));
    return std::make_pair(answer, duration_cast<milliseconds>(steady_clock::now() - started));
  });

  TestClient tester;
  ASSERT_TRUE(tester.connect());
  auto started = steady_clock::now();
  tester.sendText(R"({"methodName":8,"clientID":"tester"})");
  // Meanwhile the service goes on answering others.
  std::this_thread::sleep_for(seconds(2));
  auto pinged = steady_clock::now();
  EXPECT_EQ(webApplication.call(1)["data"]["pluginVersion"], "0.0.4.0");
  EXPECT_LT(steady_clock::now() - pinged, seconds(5));

  auto frame = tester.receive(seconds(120));
  auto waited = steady_clock::now() - started;
  ASSERT_TRUE(frame);
  EXPECT_EQ(parseJson(frame->payload)["data"], parseJson(R"({"code":9,"message":"TIME OUT"})"));
  EXPECT_GE(waited, seconds(60));
  EXPECT_LT(waited, seconds(90));
  EXPECT_TRUE(contains(service.output(), "CvUserTestDeviceFlow - TIME_OUT\n"));
  // Capture is off again.
  piano.noteOn(60, 100);
  EXPECT_EQ(pollKey(tester)["code"], -1);

  auto [answer, took] = latency.get();
  EXPECT_EQ(answer["data"], parseJson(R"({"latency":0})"));
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_GE(took, seconds(120));
  EXPECT_LT(took, seconds(150));
}
