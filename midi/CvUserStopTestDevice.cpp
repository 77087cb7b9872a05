#include "midi/CvUserStopTestDevice.h"

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"

const CvFlowDescription& CvUserStopTestDevice::description() const {
  static const CvFlowDescription flow{28, "[CvUserStopTestDevice] error message: %s"};
  return flow;
}

void CvUserStopTestDevice::ownStep(CvResponse& response) {
  g_recording_list.clear();
  application_current_action.exchange(ACTION_IDLE);
  response.data = codeMessage(0, "SUCCESS");
}
