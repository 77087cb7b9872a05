// Code 10: ends the performance and reports what the learner played: for each key
// press its pitch, octave and time in ms from the excerpt's first beat, in the order
// played. Then empties the recording, so each report covers one performance. Takes no
// command lock: it must be able to stop a play command that is still counting off,
// and calls off one still waiting for its start time.
#pragma once

#include "link/CvBaseFlow.h"

class CvStopCommandFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
