#include "midi/CvUserTestDeviceFlow.h"

#include <chrono>
#include <thread>

#include "midi/CvDeviceReport.h"
#include "midi/CvMidiState.h"
#include "midi/CvMidiTask.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"

std::atomic<bool> g_test_stop_requested{false};
std::atomic<bool> g_test_waiting{false};
std::atomic<bool> g_test_stop_allowed{true};

namespace {

const std::chrono::milliseconds kPollPause(10);
const std::chrono::milliseconds kWaitLimit(60000);

// Ends device-test capture, unless something else (a song's recording) has taken
// capture over meanwhile: that recording is left alone.
void endTestCapture() {
  int expected = ACTION_TEST_DEVICE;
  if (application_current_action.compare_exchange_strong(expected, ACTION_IDLE)) {
    g_recording_list.clear();
  }
}

}  // namespace

const CvFlowDescription& CvUserTestDeviceFlow::description() const {
  static const CvFlowDescription flow{
      8,
      "[CvUserTestDeviceFlow] error message: %s",
      false,  // no command lock
      "[CvUserTestDeviceFlow] start....",
      "CvUserTestDeviceFlow start....\n",
      "[CvUserTestDeviceFlow] return....",
  };
  return flow;
}

void CvUserTestDeviceFlow::ownStep(CvResponse& response) {
  // A song being played or recorded is refused before capture is touched, so its
  // recording never turns into a device test.
  if (playing_midi_state.load() != STOP_STATE) {
    response.data = codeMessage(SONG_PLAYING_CODE, SONG_PLAYING_MESSAGE);
    return;
  }
  g_recording_list.clear();
  application_current_action.exchange(ACTION_TEST_DEVICE);
  cvlog::out("CvUserTestDeviceFlow application_current_action %d\n",
             application_current_action.load());
  struct WaitingMark {
    WaitingMark() { g_test_waiting.exchange(true); }
    ~WaitingMark() { g_test_waiting.exchange(false); }
  } waiting;
  response.data = waitForKey();
}

Json::Value CvUserTestDeviceFlow::waitForKey() {
  CvMidiTask task;
  auto start = std::chrono::steady_clock::now();
  while (true) {
    if (playing_midi_state.load() != STOP_STATE) {
      endTestCapture();
      cvlog::out("playing_midi_state != STOP_STATE\n");
      return codeMessage(SONG_PLAYING_CODE, SONG_PLAYING_MESSAGE);
    }
    if (g_test_stop_requested.load()) {
      // Capture and the list are the stop command's to reset.
      g_test_stop_requested.exchange(false);
      cvlog::out("stop test device in user test device flow\n");
      return codeMessage(15, "STOP LISTENING EVENT FROM DEVICE");
    }
    CvMidiEvent event = task.GetMidiEvent();
    if (event.velocity != 0) {
      Json::Value report = keyReport(event);
      g_recording_list.clear();
      cvlog::out("CvUserTestDeviceFlow get message and response....\n");
      application_current_action.exchange(ACTION_IDLE);
      g_test_stop_allowed.exchange(false);
      return report;
    }
    if (std::chrono::steady_clock::now() - start > kWaitLimit) {
      cvlog::out("CvUserTestDeviceFlow - TIME_OUT\n");
      g_test_stop_requested.exchange(false);
      g_test_stop_allowed.exchange(false);
      g_recording_list.clear();
      application_current_action.exchange(ACTION_IDLE);
      return codeMessage(9, "TIME OUT");
    }
    std::this_thread::sleep_for(kPollPause);
  }
}
