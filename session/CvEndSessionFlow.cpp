#include "session/CvEndSessionFlow.h"

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"

const CvFlowDescription& CvEndSessionFlow::description() const {
  static const CvFlowDescription flow{
      25,
      "[CvEndSessionFlow] error message: %s",
      false,  // no command lock
      "[CVENDSESSIONFLOW]-START....",
  };
  return flow;
}

void CvEndSessionFlow::ownStep(CvResponse& response) {
  // A play command still waiting for its start time is called off; a song already
  // playing goes on.
  SetStopState();
  g_speaker_pc.exchange(false);
  g_recording_list.clear();
  response.data = requestData();
}
