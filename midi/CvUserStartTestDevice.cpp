#include "midi/CvUserStartTestDevice.h"

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"

const CvFlowDescription& CvUserStartTestDevice::description() const {
  static const CvFlowDescription flow{27, "[CvUserStartTestDevice] error message: %s"};
  return flow;
}

void CvUserStartTestDevice::ownStep(CvResponse& response) {
  g_recording_list.clear();
  application_current_action.exchange(ACTION_TEST_DEVICE);
  response.data = codeMessage(0, "SUCCESS");
}
