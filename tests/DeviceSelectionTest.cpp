// Listing, choosing and remembering the learner's keyboard (codes 3, 4, 7), storing
// its range (14), the session start that reports both (2) and the speaker preference
// (23), with real keyboards on a JACK server and the Device and User rows they leave.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

namespace {

const std::chrono::seconds kMonitorReacts(5);
const char* const kFullRange =
    R"({"LowestNote":{"pitch":"A","octave":0},"HighestNote":{"pitch":"C","octave":8}})";

Json::Value deviceNamed(const std::string& name) {
  Json::Value data(Json::objectValue);
  data["deviceName"] = name;
  return data;
}

Json::Value learner(const std::string& clientID, const std::string& token) {
  Json::Value data(Json::objectValue);
  if (!clientID.empty()) data["clientID"] = clientID;
  if (!token.empty()) data["token"] = token;
  return data;
}

class KeyboardChoice : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(jack_.start()); }

  // Starts the service and connects the web application.
  void startSession() {
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(connectWebApplication(client_));
  }
  std::string userRows() {
    return sqlQuery(service_.databasePath(), "SELECT userId, token, speakerPc FROM User");
  }

  TestJack jack_;
  TestKeyboard pianoA_{jack_, "Test Piano A"};
  TestKeyboard pianoB_{jack_, "Test Piano B"};
  TestService service_;
  TestClient client_;
};

const Json::Value kSuccess = parseJson(R"({"code":0,"message":"SUCCESS"})");

}  // namespace

TEST_F(KeyboardChoice, ListSelectAndRememberAmongTwoKeyboards) {
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(pianoB_.plug());
  startSession();

  Json::Value listed(Json::arrayValue);  // in the server's port order
  for (const std::string& port : jack_.midiSources()) {
    Json::Value entry;
    entry["id"] = port;
    entry["deviceName"] = port;
    listed.append(entry);
  }
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(client_.call(3)["data"], listed);

  // Nothing known yet: no current keyboard, nothing opened.
  ASSERT_TRUE(eventually([&] { return client_.call(7)["data"]["deviceCount"] == 2; }));
  EXPECT_EQ(client_.call(7)["data"]["deviceName"], "");
  EXPECT_FALSE(serviceListensTo(jack_, pianoA_) || serviceListensTo(jack_, pianoB_));

  // Choosing B: a new row, current at once, opened by the monitor.
  EXPECT_EQ(client_.call(4, deviceNamed(pianoB_.name()))["data"], kSuccess);
  Json::Value current = client_.call(7)["data"];
  EXPECT_EQ(current["id"], pianoB_.name());
  EXPECT_EQ(current["deviceName"], pianoB_.name());
  EXPECT_EQ(deviceRows(service_), pianoB_.name() + "|1|0|0");
  EXPECT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoB_); }, kMonitorReacts));
  EXPECT_FALSE(serviceListensTo(jack_, pianoA_));
  EXPECT_TRUE(keyCaptured(client_, pianoB_, 60));

  EXPECT_EQ(client_.call(14, parseJson(kFullRange))["data"], kSuccess);
  EXPECT_EQ(deviceRows(service_), pianoB_.name() + "|1|21|108");

  // Choosing A: the latest mark moves; B keeps its range.
  EXPECT_EQ(client_.call(4, deviceNamed(pianoA_.name()))["data"], kSuccess);
  EXPECT_EQ(deviceRows(service_), pianoB_.name() + "|0|21|108\n" + pianoA_.name() + "|1|0|0");
  EXPECT_TRUE(eventually(
      [&] { return serviceListensTo(jack_, pianoA_) && !serviceListensTo(jack_, pianoB_); },
      kMonitorReacts));

  // Choosing B again updates its row (latest mark, modifiedDate) rather than adding one.
  const std::string datesOfB =
      "SELECT createdDate, modifiedDate FROM Device WHERE deviceName = " + sqlText(pianoB_.name());
  std::string datesBefore = sqlQuery(service_.databasePath(), datesOfB);
  EXPECT_EQ(client_.call(4, deviceNamed(pianoB_.name()))["data"], kSuccess);
  EXPECT_EQ(deviceRows(service_), pianoB_.name() + "|1|21|108\n" + pianoA_.name() + "|0|0|0");
  std::string datesAfter = sqlQuery(service_.databasePath(), datesOfB);
  EXPECT_EQ(datesAfter.substr(0, datesAfter.find('|')),
            datesBefore.substr(0, datesBefore.find('|')));
  EXPECT_NE(datesAfter, datesBefore);
  EXPECT_TRUE(contains(service_.log(), "CvSelectMidiDeviceFlow: 3"));
  EXPECT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoB_); }, kMonitorReacts));
}

TEST_F(KeyboardChoice, NamesFromTheApplicationAreStoredAsGivenAndAnEmptyNameChoosesNone) {
  ASSERT_TRUE(pianoA_.plug());
  startSession();
  EXPECT_EQ(client_.call(4, deviceNamed(pianoA_.name()))["data"], kSuccess);
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));

  // Quotes and SQL in a name are only text. The keyboard is not plugged in: the old
  // port is closed and nothing else opened.
  const std::string odd = "Grand's Piano'); DELETE FROM Device; --:MIDI 1";
  EXPECT_EQ(client_.call(4, deviceNamed(odd))["data"], kSuccess);
  EXPECT_EQ(client_.call(7)["data"]["deviceName"], odd);
  EXPECT_EQ(deviceRows(service_), pianoA_.name() + "|0|0|0\n" + odd + "|1|0|0");
  EXPECT_EQ(client_.call(14, parseJson(kFullRange))["data"], kSuccess);
  EXPECT_EQ(deviceRows(service_), pianoA_.name() + "|0|0|0\n" + odd + "|1|21|108");
  EXPECT_TRUE(eventually([&] { return !serviceListensTo(jack_, pianoA_); }, kMonitorReacts));

  // An empty name: no current device, the table untouched.
  std::string rowsBefore = sqlQuery(service_.databasePath(), "SELECT * FROM Device ORDER BY rowid");
  EXPECT_EQ(client_.call(4, deviceNamed(""))["data"], kSuccess);
  EXPECT_EQ(client_.call(7)["data"]["deviceName"], "");
  EXPECT_EQ(client_.call(4, Json::Value(Json::objectValue))["data"], kSuccess);
  EXPECT_EQ(sqlQuery(service_.databasePath(), "SELECT * FROM Device ORDER BY rowid"), rowsBefore);
  // With no current device there is nothing to store a range for.
  EXPECT_EQ(client_.call(14, parseJson(kFullRange))["data"],
            parseJson(R"({"code":14,"message":"SAVE DB ERROR"})"));
  EXPECT_EQ(sqlQuery(service_.databasePath(), "SELECT * FROM Device ORDER BY rowid"), rowsBefore);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(serviceListensTo(jack_, pianoA_));
}

TEST_F(KeyboardChoice, SessionStartReportsLearnerKeyboardAndStoredRange) {
  storeDevice(service_, pianoA_.name(), true, 21, 108);
  ASSERT_TRUE(pianoA_.plug());
  startSession();
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));

  // A new learner.
  Json::Value answer = client_.call(2, learner("learner-1", "token-1"), "learner-1");
  EXPECT_EQ(answer["responseCode"], 0);
  EXPECT_EQ(answer["errorMessage"], "SUCCESS");
  Json::Value expected = parseJson(R"({"code":0,"message":"SUCCESS","speakerPc":false,
      "PianoLowestNote":{"pitch":"A","octave":0},"PianoHighestNote":{"pitch":"C","octave":8}})");
  expected["Device"]["id"] = pianoA_.name();
  expected["Device"]["deviceName"] = pianoA_.name();
  expected["Device"]["deviceCount"] = 1;
  EXPECT_EQ(answer["data"], expected);
  EXPECT_EQ(userRows(), "learner-1|token-1|0");

  // The speaker preference is stored and reported by the next session start.
  EXPECT_EQ(client_.call(23, parseJson(R"({"speakerPc":true})"), "learner-1")["data"], kSuccess);
  EXPECT_EQ(userRows(), "learner-1|token-1|1");
  answer = client_.call(2, learner("learner-1", "another-token"), "learner-1");
  EXPECT_EQ(answer["data"]["speakerPc"], true);
  EXPECT_EQ(userRows(), "learner-1|token-1|1");  // returning: no second row

  Json::Value cleared = client_.call(23, Json::Value(Json::objectValue), "learner-1");
  EXPECT_EQ(cleared["responseCode"], 0);
  EXPECT_EQ(userRows(), "learner-1|token-1|0");
  EXPECT_EQ(client_.call(2, learner("learner-1", "t"), "learner-1")["data"]["speakerPc"], false);

  // A learner the store does not know.
  Json::Value unknown = client_.call(23, parseJson(R"({"speakerPc":true})"), "ghost");
  EXPECT_EQ(unknown["responseCode"], -1);
  EXPECT_EQ(unknown["errorMessage"], "NOT HAVE CLIENT ID: ghost IN DATABASE");
  EXPECT_TRUE(unknown["data"].empty()) << unknown;
  EXPECT_EQ(userRows(), "learner-1|token-1|0");

  // Missing token or clientID: not registered.
  const Json::Value notRegistered =
      parseJson(R"({"code":11,"message":"INSERT DATA TO DATABASE FAIL"})");
  EXPECT_EQ(client_.call(2, learner("learner-2", ""), "learner-2")["data"], notRegistered);
  EXPECT_EQ(client_.call(2, learner("", "token-2"))["data"], notRegistered);
  EXPECT_EQ(userRows(), "learner-1|token-1|0");

  // Choosing another keyboard names it at once; the range stays the one loaded with
  // the previous keyboard until the finder picks a keyboard again.
  EXPECT_EQ(client_.call(4, deviceNamed(pianoB_.name()))["data"], kSuccess);
  answer = client_.call(2, learner("learner-1", "t"), "learner-1")["data"];
  EXPECT_EQ(answer["Device"]["id"], pianoB_.name());
  EXPECT_EQ(answer["PianoLowestNote"], parseJson(R"({"pitch":"A","octave":0})"));
  EXPECT_EQ(answer["PianoHighestNote"], parseJson(R"({"pitch":"C","octave":8})"));
}

TEST_F(KeyboardChoice, SessionStartWithoutRange) {
  storeDevice(service_, pianoA_.name(), true, 0, 0);
  ASSERT_TRUE(pianoA_.plug());
  ASSERT_TRUE(service_.start());

  // Before the web application connects no keyboard is chosen: no range members.
  TestClient page;
  ASSERT_TRUE(page.connect());
  Json::Value answer = page.call(2, learner("learner-3", "t"))["data"];
  EXPECT_EQ(answer["code"], 0);
  EXPECT_EQ(answer["Device"], parseJson(R"({"id":"","deviceName":"","deviceCount":0})"));
  EXPECT_FALSE(answer.isMember("PianoLowestNote")) << answer;
  EXPECT_FALSE(answer.isMember("PianoHighestNote")) << answer;

  // The finder picks the remembered keyboard, whose range was never detected (0 to 0):
  // equal notes are reported as null.
  ASSERT_TRUE(connectWebApplication(client_));
  ASSERT_TRUE(eventually([&] { return serviceListensTo(jack_, pianoA_); }, kMonitorReacts));
  answer = client_.call(2, learner("learner-3", "t"))["data"];
  EXPECT_EQ(answer["Device"]["id"], pianoA_.name());
  ASSERT_TRUE(answer.isMember("PianoLowestNote")) << answer;
  ASSERT_TRUE(answer.isMember("PianoHighestNote")) << answer;
  EXPECT_TRUE(answer["PianoLowestNote"].isNull());
  EXPECT_TRUE(answer["PianoHighestNote"].isNull());
}
