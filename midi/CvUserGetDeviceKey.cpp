#include "midi/CvUserGetDeviceKey.h"

#include "midi/CvDeviceReport.h"
#include "midi/CvMidiState.h"
#include "midi/CvMidiTask.h"
#include "midi/CvRecordingList.h"
#include "service/CvLog.h"

const CvFlowDescription& CvUserGetDeviceKey::description() const {
  static const CvFlowDescription flow{29, "[CvUserGetDeviceKey] error message: %s"};
  return flow;
}

void CvUserGetDeviceKey::ownStep(CvResponse& response) {
  // Only a device test's press is reported, and then forgotten. In a song's recording
  // the list is the learner's performance: a press kept by a test just before "go"
  // would otherwise be fresh enough to report, and emptying the list would wipe it.
  CvMidiEvent event;
  if (application_current_action.load() == ACTION_TEST_DEVICE) event = CvMidiTask().GetMidiEvent();
  if (event.velocity == 0) {
    response.data = codeMessage(-1, "NOT HAVE MESSAGE FROM DEVICE");
    return;
  }
  response.data = keyReport(event);
  cvlog::out("HAVE NOTE\n");
  g_recording_list.clear();  // each key press is reported once
}
