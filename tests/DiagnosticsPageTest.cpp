// The diagnostics page in a real headless Chromium against the service on the 22050 Hz
// JACK rig: it loads from the service alone, shows the version, the installation id
// and the test keyboard, shows keys as they are played, runs the sound check; other
// paths, methods and host names get no page. An origin list that does not name the page is in
// place throughout: the service's own page is let through anyway.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestAudioCapture.h"
#include "tests/support/TestBrowser.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestHandshake.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestRig.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

std::string text(const std::string& id) {
  return "document.getElementById('" + id + "').textContent";
}

long long wallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class DiagnosticsPageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The service prepares songs only with a MIDI output: the rig's synthesizer. The
    // rig's keyboard is stored as seen in an earlier session: the service takes it by
    // itself.
    TestRig::Settings settings;
    settings.kind = TestRig::kindFromEnvironment(TestRig::Kind::Jack22050);
    settings.periodFrames = 32;
    settings.realtime = false;
    rig_ = std::make_unique<TestRig>(settings);
    ASSERT_TRUE(rig_->start());
    writeFileBytes(rig_->service().path("db/allowed-origins.txt"), "https://learn.example\n");
    ASSERT_TRUE(rig_->startService());
    browser_ = std::make_unique<TestBrowser>();
    ASSERT_TRUE(browser_->start()) << "chromium is needed: scripts/install-deps.sh installs it";
    ASSERT_TRUE(browser_->open("http://localhost:19420/"));
    ASSERT_TRUE(shows("connection", "Connected to ws://localhost:19420."))
        << browser_->evaluate(text("connection"));
    pageLoaded_ = true;
  }
  static void TearDownTestSuite() {
    browser_.reset();
    rig_.reset();
  }
  void SetUp() override { ASSERT_TRUE(pageLoaded_ && rig_->service().running()); }

  static bool shows(const std::string& id, const std::string& wanted,
                    std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    return eventually([&] { return browser_->evaluate(text(id)) == wanted; }, timeout);
  }
  // Plays a key and waits until the page shows pitch; the milliseconds from the press
  // to the page's display of it (both on the wall clock), or -1 when it never showed.
  static long long playUntilShown(int note, int velocity, const std::string& pitch) {
    long long playedAt = wallClockMs();
    piano().noteOn(note, velocity);
    if (!shows("key-pitch", pitch, std::chrono::seconds(5))) return -1;
    Json::Value shownAt =
        browser_->evaluate("Number(document.getElementById('key').dataset.shownAt)");
    return shownAt.isNumeric() ? shownAt.asInt64() - playedAt : -1;
  }
  static void click(const std::string& id) {
    browser_->evaluate("document.getElementById('" + id + "').click()");
  }

  static TestKeyboard& piano() { return rig_->keyboard(); }

  static std::unique_ptr<TestRig> rig_;
  static std::unique_ptr<TestBrowser> browser_;
  static bool pageLoaded_;
};

std::unique_ptr<TestRig> DiagnosticsPageTest::rig_;
std::unique_ptr<TestBrowser> DiagnosticsPageTest::browser_;
bool DiagnosticsPageTest::pageLoaded_ = false;

}  // namespace

TEST_F(DiagnosticsPageTest, ShowsTheServiceAndItsKeyboardsFromNothingElse) {
  EXPECT_EQ(browser_->evaluate(text("version")), "0.0.4.0");
  TestClient client;
  ASSERT_TRUE(client.connect());
  std::string installationId = client.call(11)["data"]["installationId"].asString();
  EXPECT_EQ(installationId.size(), 36u);
  EXPECT_EQ(browser_->evaluate(text("installation")), installationId);
  EXPECT_EQ(browser_->evaluate("[...document.querySelectorAll('#keyboards li')]"
                               ".map((item) => item.textContent).join('|')"),
            piano().name());
  EXPECT_EQ(browser_->evaluate(text("midi-system")),
            "not reported by the service; it sees 1 MIDI input(s) through it");
  // No stylesheet, script, image or font came from anywhere.
  EXPECT_EQ(browser_->evaluate("performance.getEntriesByType('resource').length"), 0);
}

TEST_F(DiagnosticsPageTest, KeyTestShowsEachKeyAsItIsPlayed) {
  click("key-start");
  ASSERT_TRUE(shows("key-state", "Running: press a key on the keyboard."));
  // The page's keep-alive made the service open the keyboard.
  ASSERT_TRUE(eventually([] { return rig_->serviceListensToKeyboard(); }));
  EXPECT_TRUE(shows("current", piano().name()));

  long long delay = playUntilShown(64, 127, "E");
  ASSERT_GE(delay, 0);
  std::cout << "key press to page: " << delay << " ms" << std::endl;
  EXPECT_EQ(browser_->evaluate(text("key-octave")), "4");
  EXPECT_EQ(browser_->evaluate(text("key-loudness")), "100 %");
  piano().noteOff(64);

  delay = playUntilShown(61, 50, "C♯");
  ASSERT_GE(delay, 0);
  std::cout << "second key press to page: " << delay << " ms" << std::endl;
  EXPECT_EQ(browser_->evaluate(text("key-octave")), "4");
  EXPECT_EQ(browser_->evaluate(text("key-loudness")), "39 %");
  EXPECT_EQ(browser_->evaluate(text("key-count")), "2");
  piano().noteOff(61);

  // Stopping releases the keyboard: the page was the only keep-alive connection.
  click("key-stop");
  EXPECT_TRUE(shows("key-state", "Not running."));
  EXPECT_TRUE(eventually([] { return !rig_->serviceListensToKeyboard(); }));
}

TEST_F(DiagnosticsPageTest, SoundCheckPlaysTheCountOffAndABarOfMetronome) {
  rig_->capture().clear();
  click("sound-start");
  EXPECT_TRUE(shows("sound-state", "Played: count-off of 2000 ms, then one bar of metronome.",
                    std::chrono::seconds(20)))
      << browser_->evaluate(text("sound-state"));
  // Spoken beats from 0 to 1.5 s, then clicks on the bar's beats from 2 s on: a last
  // sound this late is a click, not a word.
  std::vector<TestAudioCapture::Clock::time_point> onsets =
      rig_->capture().onsets(0.05f, std::chrono::milliseconds(100));
  ASSERT_GE(onsets.size(), 5u);
  EXPECT_GE(onsets.back() - onsets.front(), std::chrono::milliseconds(2800));
  // The sound check plays no accompaniment.
  EXPECT_TRUE(rig_->synth().messages().empty());
  // A second run is not refused as "still playing": the first one was stopped.
  click("sound-start");
  EXPECT_TRUE(shows("sound-state", "Count-off (2000 ms)…", std::chrono::seconds(5)));
  EXPECT_TRUE(shows("sound-state", "Played: count-off of 2000 ms, then one bar of metronome.",
                    std::chrono::seconds(20)))
      << browser_->evaluate(text("sound-state"));
}

TEST_F(DiagnosticsPageTest, OnlyAGetOfTheRootUnderThisMachinesNamesIsThePage) {
  for (const char* address : {"::1", "127.0.0.1"}) {
    std::string page = httpAnswer(address, "GET", "/");
    EXPECT_EQ(httpStatus(page), 200) << address;
    EXPECT_TRUE(contains(page, "Content-Type: text/html; charset=utf-8\r\n")) << page;
    EXPECT_TRUE(contains(page, "<title>Piano Corvida Plugin: diagnostics</title>"));
  }
  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/?from=support")), 200);
  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/", "127.0.0.1:19420")), 200);
  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/", "[::1]:19420")), 200);

  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/other")), 404);
  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/index.html")), 404);
  EXPECT_EQ(httpStatus(httpAnswer("::1", "POST", "/")), 405);
  // A site elsewhere whose name was pointed at this machine.
  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/", "learn.example.evil:19420")), 403);
  EXPECT_EQ(httpStatus(httpAnswer("::1", "GET", "/", "localhost:8080")), 403);

  // Plain HTTP does not disturb the WebSocket service.
  TestClient client;
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(client.call(1)["data"]["pluginVersion"], "0.0.4.0");
}
