#include "midi/CvUserStartTestDevice.h"

#include "midi/CvDeviceReport.h"
#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"

const CvFlowDescription& CvUserStartTestDevice::description() const {
  static const CvFlowDescription flow{27, "[CvUserStartTestDevice] error message: %s"};
  return flow;
}

void CvUserStartTestDevice::ownStep(CvResponse& response) {
  if (PerformanceUnderWay()) {
    // The learner's recording and its capture belong to the performance.
    response.data = codeMessage(SONG_PLAYING_CODE, SONG_PLAYING_MESSAGE);
    return;
  }
  g_recording_list.clear();
  application_current_action.exchange(ACTION_TEST_DEVICE);
  response.data = codeMessage(0, "SUCCESS");
}
