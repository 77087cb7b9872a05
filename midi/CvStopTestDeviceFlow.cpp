#include "midi/CvStopTestDeviceFlow.h"

#include <chrono>
#include <thread>

#include "midi/CvDeviceReport.h"
#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "midi/CvUserTestDeviceFlow.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"

namespace {

// Gives a waiting test (polling every 10 ms) time to see the request before
// capture goes idle.
const std::chrono::milliseconds kStopSettleTime(200);

// A stop that finds nothing to stop leaves a fresh device test behind.
void rearmTest() {
  g_recording_list.clear();
  application_current_action.exchange(ACTION_TEST_DEVICE);
}

}  // namespace

const CvFlowDescription& CvStopTestDeviceFlow::description() const {
  static const CvFlowDescription flow{
      18,
      "[CvStopTestDeviceFlow] error message: %s",
      false,    // no command lock
      nullptr,  // no start line
      "CvStopTestDeviceFlow start....\n",
  };
  return flow;
}

void CvStopTestDeviceFlow::ownStep(CvResponse& response) {
  if (PerformanceUnderWay()) {
    // The learner's recording and its capture belong to the performance.
    response.data = codeMessage(SONG_PLAYING_CODE, SONG_PLAYING_MESSAGE);
    return;
  }
  if (g_test_stop_requested.load()) {
    // An earlier stop was never taken up by a test.
    rearmTest();
    g_test_stop_requested.exchange(false);
    g_test_stop_allowed.exchange(true);
  } else if (!g_test_stop_allowed.load() && !g_test_waiting.load()) {
    // The last test ended on its own and none is waiting.
    rearmTest();
    cvlog::out("NOT --- Stop test device\n");
    g_test_stop_requested.exchange(false);
    g_test_stop_allowed.exchange(true);
  } else {
    cvlog::out("ACCEPT Stop test device\n");
    g_test_stop_requested.exchange(true);
    g_recording_list.clear();
    std::this_thread::sleep_for(kStopSettleTime);
    // Only a device test's capture goes idle: a performance that began meanwhile
    // keeps recording.
    int testing = ACTION_TEST_DEVICE;
    application_current_action.compare_exchange_strong(testing, ACTION_IDLE);
  }
  response.data = requestData();
}
