// Code 12: performs the prepared song. Waits for the start time the web application
// chose, plays the count-off (which starts the recording at "go"), then starts the
// accompaniment and the metronome on threads of their own and answers, at about the
// moment the accompaniment starts. Holds g_flow_mutex throughout; the stop command
// does not, and ends the count-off through IS_PLAY_MUSIC. A start time more than a
// minute ahead is refused; the wait for the start ends at once when the performance
// is called off (stop, end of session, the web application gone), and the answer
// then says it was not played.
#pragma once

#include "link/CvBaseFlow.h"

class CvPlayMidiFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
