// The port monitor against a real JACK server: it keeps the learner's keyboard open
// while the web application's keep-alive connection is open, follows unplugging and
// plugging, falls back to another known keyboard, and closes the port when the web
// application goes away. "Open" is seen in the JACK graph (the service's input port
// connected to the keyboard) and by key presses that reach the polling device test.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

namespace {

// One monitor pass plus the port refreshes it waits for is about a second; allow
// plenty on a busy machine.
const std::chrono::seconds kMonitorReacts(5);

class PortMonitor : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(jack_.start()); }

  std::string currentDevice() { return client_.call(7)["data"]["deviceName"].asString(); }
  unsigned deviceCount() { return client_.call(7)["data"]["deviceCount"].asUInt(); }
  size_t opensOf(const TestKeyboard& keyboard) {
    return countOf(service_.log(), " CvMidiTask::prepare open Port: " + keyboard.name());
  }

  TestJack jack_;
  TestKeyboard pianoA_{jack_, "Test Piano A"};
  TestKeyboard pianoB_{jack_, "Test Piano B"};
  TestService service_;
  TestClient client_;  // the web application: keep-alive and commands
};

}  // namespace

TEST_F(PortMonitor, FollowsTheRememberedKeyboardThroughUnplugPlugAndASecondKeyboard) {
  storeDevice(service_, pianoA_.name(), true, 0, 0);
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(service_.start());
  ASSERT_TRUE(client_.connect());

  // Without the web application the monitor leaves the port closed.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(serviceListensTo(jack_, pianoA_));

  ASSERT_TRUE(connectWebApplication(client_));
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));
  EXPECT_EQ(currentDevice(), pianoA_.name());
  EXPECT_EQ(deviceCount(), 1u);
  EXPECT_EQ(opensOf(pianoA_), 1u) << service_.log();
  EXPECT_TRUE(keyCaptured(client_, pianoA_, 60));

  // Unplugged: no current device any more.
  ASSERT_TRUE(pianoA_.unplug());
  EXPECT_TRUE(eventually([&] { return currentDevice().empty(); }, kMonitorReacts));
  EXPECT_EQ(client_.call(7)["data"], parseJson(R"({"id":"","deviceName":"","deviceCount":0})"));

  // Plugged back: found again and reopened.
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));
  EXPECT_EQ(currentDevice(), pianoA_.name());
  EXPECT_TRUE(keyCaptured(client_, pianoA_, 62));

  // A second keyboard: the port is reopened, on the same current keyboard.
  size_t opensBefore = opensOf(pianoA_);
  ASSERT_TRUE(pianoB_.plug());
  ASSERT_TRUE(
      eventually([&] { return opensOf(pianoA_) > opensBefore && serviceListensTo(jack_, pianoA_); },
                 kMonitorReacts));
  Json::Value current = client_.call(7)["data"];
  EXPECT_EQ(current["deviceName"], pianoA_.name());
  EXPECT_EQ(current["id"], pianoA_.name());
  EXPECT_EQ(current["deviceCount"].asUInt(), 2u);
  EXPECT_FALSE(serviceListensTo(jack_, pianoB_));
  EXPECT_TRUE(keyCaptured(client_, pianoA_, 64));
  EXPECT_FALSE(keyCaptured(client_, pianoB_, 65));
}

TEST_F(PortMonitor, ClosingTheKeepAliveConnectionClosesThePort) {
  storeDevice(service_, pianoA_.name(), true, 0, 0);
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(service_.start());
  ASSERT_TRUE(connectWebApplication(client_));
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));

  // Another page of the application, without keep-alive, runs the device test.
  TestClient page;
  ASSERT_TRUE(page.connect());
  EXPECT_TRUE(keyCaptured(page, pianoA_, 60));

  client_.close();
  EXPECT_TRUE(eventually([&] { return !serviceListensTo(jack_, pianoA_); }, kMonitorReacts));
  EXPECT_TRUE(contains(service_.log(), "[CvServerSocket] KEEP ALIVE is closed"));
  EXPECT_FALSE(keyCaptured(page, pianoA_, 62));

  // The application comes back: the keyboard is opened again.
  ASSERT_TRUE(connectWebApplication(page));
  EXPECT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));
  EXPECT_TRUE(keyCaptured(page, pianoA_, 64));
}

TEST_F(PortMonitor, FallsBackToAnotherKnownKeyboardWithItsStoredRange) {
  storeDevice(service_, pianoA_.name(), true, 21, 108);
  storeDevice(service_, pianoB_.name(), false, 48, 72, "2001-01-01 00:00:00.000000");
  ASSERT_TRUE(pianoB_.plug());  // the remembered keyboard A is not plugged in
  ASSERT_TRUE(service_.start());
  ASSERT_TRUE(connectWebApplication(client_));

  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoB_); }, kMonitorReacts));
  EXPECT_EQ(currentDevice(), pianoB_.name());
  EXPECT_EQ(deviceRows(service_), pianoA_.name() + "|0|21|108\n" + pianoB_.name() + "|1|48|72");
  std::string modified =
      sqlQuery(service_.databasePath(),
               "SELECT modifiedDate FROM Device WHERE deviceName = " + sqlText(pianoB_.name()));
  EXPECT_NE(modified, "2001-01-01 00:00:00.000000");
  EXPECT_EQ(modified.size(), std::string("2001-01-01 00:00:00.000000").size()) << modified;

  Json::Value session = client_.call(2, parseJson(R"({"clientID":"learner-1","token":"t"})"));
  EXPECT_EQ(session["data"]["Device"]["id"], pianoB_.name());
  EXPECT_EQ(session["data"]["PianoLowestNote"], parseJson(R"({"pitch":"C","octave":3})"));
  EXPECT_EQ(session["data"]["PianoHighestNote"], parseJson(R"({"pitch":"C","octave":5})"));
}

TEST_F(PortMonitor, MidiServerThatEndsLeavesTheServiceAnswering) {
  storeDevice(service_, pianoA_.name(), true, 0, 0);
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(service_.start());
  ASSERT_TRUE(connectWebApplication(client_));
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));

  // The server ends under the open port: the service and its monitor go on. The
  // test's keyboard client goes first: libjack may crash closing a client whose
  // server has ended.
  pianoA_.release();
  jack_.stop();
  std::this_thread::sleep_for(kMonitorReacts / 4);
  EXPECT_EQ(client_.call(29)["data"]["code"], -1);
  EXPECT_EQ(client_.call(1)["data"]["pluginVersion"], "0.0.4.0");
  EXPECT_TRUE(client_.call(7)["data"].isMember("deviceCount"));
  EXPECT_TRUE(service_.running());
}

// While no keyboard is open the monitor finds the same state at every 50 ms pass; its
// standard-output lines (which land in the journal under systemd) are written when
// the state begins, not at each pass, and again once it begins anew.
TEST_F(PortMonitor, StateLinesAreWrittenWhenTheStateChangesNotAtEveryPass) {
  const std::string notOpen = "Midi port not open yet";
  const std::string opening = "cvMidiTask->SetCurrentMidiDevice(";
  const std::string callbackAgain = "a callback function is already set";
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(pianoB_.plug());  // no keyboard known yet: none is opened
  ASSERT_TRUE(service_.start());
  ASSERT_TRUE(connectWebApplication(client_));
  ASSERT_TRUE(eventually([&] { return contains(service_.output(), notOpen); }, kMonitorReacts));
  std::this_thread::sleep_for(std::chrono::seconds(2));  // some 40 passes
  EXPECT_EQ(countOf(service_.output(), notOpen), 1u) << service_.output();
  EXPECT_EQ(countOf(service_.output(), opening), 0u);

  Json::Value select(Json::objectValue);
  select["deviceName"] = pianoA_.name();
  EXPECT_EQ(client_.call(4, select)["data"]["code"], 0);
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(countOf(service_.output(), opening), 1u) << service_.output();
  EXPECT_EQ(countOf(service_.output(), notOpen), 1u);

  // Unplugged: the port is closed again, a new stretch of the same state.
  ASSERT_TRUE(pianoA_.unplug());
  ASSERT_TRUE(eventually([&] { return countOf(service_.output(), notOpen) == 2; },
                         kMonitorReacts))
      << service_.output();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(countOf(service_.output(), notOpen), 2u) << service_.output();
  EXPECT_EQ(countOf(service_.output(), opening), 1u);
  EXPECT_EQ(countOf(service_.output(), callbackAgain), 0u) << service_.output();
}
