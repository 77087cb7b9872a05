// The device test commands with a real keyboard on a JACK server: the polling test
// (27, 29, 28) and its 150 ms window, what the keyboard may send besides key presses,
// the blocking test (8) ended by a key or by the stop command (18), and the session
// settings commands (25, 26, 30) that touch the same capture state.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

namespace {

const char* const kNoMessage = R"({"code":-1,"message":"NOT HAVE MESSAGE FROM DEVICE"})";
const Json::Value kSuccess = parseJson(R"({"code":0,"message":"SUCCESS"})");

// A key report as codes 8 and 29 give it.
Json::Value keyReport(const TestKeyboard& keyboard, int percent, const std::string& pitch,
                      int octave) {
  Json::Value report = kSuccess;
  report["id"] = keyboard.name();
  report["deviceName"] = keyboard.name();
  report["percent"] = percent;
  report["note"]["pitch"] = pitch;
  report["note"]["octave"] = octave;
  return report;
}

// One service, JACK server and opened keyboard for the whole program; every test
// leaves capture switched off (code 28).
class DeviceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    jack_ = std::make_unique<TestJack>();
    ASSERT_TRUE(jack_->start());
    piano_ = std::make_unique<TestKeyboard>(*jack_, "Test Piano");
    ASSERT_TRUE(piano_->plug());
    service_ = std::make_unique<TestService>();
    storeDevice(*service_, piano_->name(), true, 21, 108);
    ASSERT_TRUE(service_->start());
    webApplication_ = std::make_unique<TestClient>();
    ASSERT_TRUE(connectWebApplication(*webApplication_));
    ASSERT_TRUE(
        eventually([] { return serviceListensTo(*jack_, *piano_); }, std::chrono::seconds(5)));
  }
  static void TearDownTestSuite() {
    webApplication_.reset();
    service_.reset();
    piano_.reset();
    jack_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(service_ && service_->running());
    ASSERT_TRUE(client_.connect());
  }
  void TearDown() override { client_.call(28); }

  static std::unique_ptr<TestJack> jack_;
  static std::unique_ptr<TestKeyboard> piano_;
  static std::unique_ptr<TestService> service_;
  static std::unique_ptr<TestClient> webApplication_;
  TestClient client_;
};

std::unique_ptr<TestJack> DeviceTest::jack_;
std::unique_ptr<TestKeyboard> DeviceTest::piano_;
std::unique_ptr<TestService> DeviceTest::service_;
std::unique_ptr<TestClient> DeviceTest::webApplication_;

}  // namespace

TEST_F(DeviceTest, PollingReportsEachKeyOnceWithin150Milliseconds) {
  EXPECT_EQ(client_.call(27)["data"], kSuccess);

  piano_->noteOn(60, 100);
  EXPECT_EQ(pollKey(client_), keyReport(*piano_, 78, "C", 4));
  EXPECT_EQ(client_.call(29)["data"], parseJson(kNoMessage));  // reported once
  EXPECT_TRUE(contains(service_->output(), "HAVE NOTE\n"));

  // Strength and names across the keyboard, on any channel.
  piano_->noteOn(21, 127, 9);
  EXPECT_EQ(pollKey(client_), keyReport(*piano_, 100, "A", 0));
  piano_->noteOn(61, 64);
  EXPECT_EQ(pollKey(client_), keyReport(*piano_, 50, "Csharp", 4));
  piano_->noteOn(108, 1);
  EXPECT_EQ(pollKey(client_), keyReport(*piano_, 0, "C", 8));

  // Only the latest of two presses is kept.
  piano_->noteOn(62, 90);
  piano_->noteOn(64, 90);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(pollKey(client_)["note"], parseJson(R"({"pitch":"E","octave":4})"));

  // A press asked for later than 150 ms is gone.
  piano_->noteOn(67, 90);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(client_.call(29)["data"], parseJson(kNoMessage));

  // After code 28 nothing is captured.
  EXPECT_EQ(client_.call(28)["data"], kSuccess);
  piano_->noteOn(69, 90);
  EXPECT_EQ(pollKey(client_), parseJson(kNoMessage));
}

TEST_F(DeviceTest, ReleasesAreNeverReported) {
  client_.call(27);
  piano_->noteOff(60);
  piano_->noteOn(62, 0);
  piano_->send({0x85, 64, 0});
  EXPECT_EQ(pollKey(client_), parseJson(kNoMessage));

  // A release does not hide the press before it either.
  piano_->noteOn(65, 100);
  piano_->noteOff(65);
  piano_->noteOn(65, 0);
  EXPECT_EQ(pollKey(client_)["note"], parseJson(R"({"pitch":"F","octave":4})"));
}

TEST_F(DeviceTest, OddMessagesNeitherCrashTheServiceNorStopCapture) {
  client_.call(27);
  const std::vector<std::vector<unsigned char>> odd = {
      {0x90},                                // a Note On cut short
      {0x90, 60},                            // still short
      {0x3C, 0x40},                          // running status: data bytes only
      {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},  // SysEx
      {0xF8},                                // clock
      {0xFE},                                // active sensing
      {0xB0, 64, 127},                       // a pedal
      {0xE0, 0x00, 0x40},                    // pitch bend
  };
  for (int round = 0; round < 3; ++round) {
    for (const auto& message : odd) piano_->send(message);
  }
  EXPECT_EQ(pollKey(client_), parseJson(kNoMessage));
  EXPECT_TRUE(eventually([] {
    return contains(service_->log(),
                    "CvMidiRecording::RecordingCallback ...ERROR WHEN GOT MIDI MESSAGE");
  }));

  piano_->noteOn(72, 100);
  EXPECT_EQ(pollKey(client_), keyReport(*piano_, 78, "C", 5));
  EXPECT_TRUE(service_->running());
  EXPECT_TRUE(serviceListensTo(*jack_, *piano_));
}

TEST_F(DeviceTest, EndSessionEchoesItsDataAndDropsTheCapturedKey) {
  client_.call(27);
  piano_->noteOn(60, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Json::Value data = parseJson(R"({"lesson":{"id":7,"parts":[1,"two",null]},"done":true})");
  EXPECT_EQ(client_.call(25, data)["data"], data);
  EXPECT_EQ(client_.call(29)["data"], parseJson(kNoMessage));
  Json::Value bare = client_.call(25);
  EXPECT_TRUE(bare.isMember("data"));
  EXPECT_TRUE(bare["data"].isNull());
  EXPECT_EQ(bare["responseCode"], 0);
}

TEST_F(DeviceTest, TimeOutAndCloseBrowserCommands) {
  Json::Value answer = client_.call(30, parseJson(R"({"timeoutValue":4500})"));
  EXPECT_EQ(answer["data"], parseJson(R"({"code":0,"message":"TIMEOUT IS SET"})"));
  EXPECT_TRUE(contains(service_->output(), "CvSetTimeOutValue::timeOut: 4500\n"));
  EXPECT_EQ(client_.call(30, Json::Value(Json::objectValue))["data"]["code"], 0);

  client_.sendText(R"({"methodName":26,"clientID":"test-client"})");
  EXPECT_FALSE(client_.receive(std::chrono::milliseconds(1500)));
  EXPECT_TRUE(contains(service_->log(), "[CLOSEBROWSER]- START..."));
  EXPECT_EQ(client_.call(1)["data"]["pluginVersion"], "0.0.4.0");  // the next answer is its own
}

namespace {

// The blocking test keeps flags between commands, so it gets a service of its own.
class BlockingDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jack_.start());
    ASSERT_TRUE(piano_.plug());
    storeDevice(service_, piano_.name(), true, 0, 0);
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(connectWebApplication(webApplication_));
    ASSERT_TRUE(
        eventually([&] { return serviceListensTo(jack_, piano_); }, std::chrono::seconds(5)));
    ASSERT_TRUE(tester_.connect());
    ASSERT_TRUE(other_.connect());
  }

  // Sends code 8 and waits until it is in its wait loop.
  void startBlockingTest() {
    size_t waiting =
        countOf(service_.output(), "CvUserTestDeviceFlow application_current_action 1");
    tester_.sendText(R"({"methodName":8,"clientID":"tester"})");
    EXPECT_TRUE(eventually([&] {
      return countOf(service_.output(), "CvUserTestDeviceFlow application_current_action 1") >
             waiting;
    }));
  }
  Json::Value answerOfBlockingTest(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto frame = tester_.receive(timeout);
    return frame ? parseJson(frame->payload)["data"] : Json::Value("no answer");
  }

  TestJack jack_;
  TestKeyboard piano_{jack_, "Test Piano"};
  TestService service_;
  TestClient webApplication_;
  TestClient tester_;  // blocked while code 8 waits
  TestClient other_;
};

const Json::Value kStopped =
    parseJson(R"({"code":15,"message":"STOP LISTENING EVENT FROM DEVICE"})");

}  // namespace

TEST_F(BlockingDeviceTest, EndedByAKeyOrByTheStopCommand) {
  // A stop before any test is accepted and stays pending: the next test ends at once.
  Json::Value stop = other_.call(18, parseJson(R"({"reason":"early"})"));
  EXPECT_EQ(stop["data"], parseJson(R"({"reason":"early"})"));
  EXPECT_TRUE(contains(service_.output(), "ACCEPT Stop test device\n"));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(tester_.call(8)["data"], kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  other_.call(28);

  // A key press answers the waiting test; capture is off afterwards.
  startBlockingTest();
  piano_.noteOn(60, 100);
  EXPECT_EQ(answerOfBlockingTest(), keyReport(piano_, 78, "C", 4));
  piano_.noteOn(62, 100);
  EXPECT_EQ(pollKey(other_), parseJson(kNoMessage));

  // A stop right after a test that ended by itself is not accepted, and switches
  // capture on.
  size_t refused = countOf(service_.output(), "NOT --- Stop test device\n");
  EXPECT_EQ(other_.call(18)["responseCode"], 0);
  EXPECT_EQ(countOf(service_.output(), "NOT --- Stop test device\n"), refused + 1);
  piano_.noteOn(64, 100);
  EXPECT_EQ(pollKey(other_)["note"], parseJson(R"({"pitch":"E","octave":4})"));
  other_.call(28);

  // A stop while a test waits: accepted, answered after its pause, and the waiting
  // test answers code 15; capture is off afterwards.
  startBlockingTest();
  size_t accepted = countOf(service_.output(), "ACCEPT Stop test device\n");
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(other_.call(18, parseJson(R"({"n":2})"))["data"], parseJson(R"({"n":2})"));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
  EXPECT_EQ(answerOfBlockingTest(), kStopped);
  EXPECT_EQ(countOf(service_.output(), "ACCEPT Stop test device\n"), accepted + 1);
  piano_.noteOn(65, 100);
  EXPECT_EQ(pollKey(other_), parseJson(kNoMessage));
  EXPECT_TRUE(contains(service_.log(), "[CvUserTestDeviceFlow] return...."));
}
