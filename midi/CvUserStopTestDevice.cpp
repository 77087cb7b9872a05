#include "midi/CvUserStopTestDevice.h"

#include "midi/CvDeviceReport.h"
#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"

const CvFlowDescription& CvUserStopTestDevice::description() const {
  static const CvFlowDescription flow{28, "[CvUserStopTestDevice] error message: %s"};
  return flow;
}

void CvUserStopTestDevice::ownStep(CvResponse& response) {
  if (PerformanceUnderWay()) {
    // The learner's recording and its capture belong to the performance.
    response.data = codeMessage(SONG_PLAYING_CODE, SONG_PLAYING_MESSAGE);
    return;
  }
  g_recording_list.clear();
  application_current_action.exchange(ACTION_IDLE);
  response.data = codeMessage(0, "SUCCESS");
}
