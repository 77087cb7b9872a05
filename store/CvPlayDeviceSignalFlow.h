// Code 23: the learner's speakerPc preference (sound on the PC's speakers). Sets
// g_speaker_pc and stores the choice in the learner's User row, found by the
// envelope's clientID. Answers the outcome in responseCode and errorMessage.
#pragma once

#include "link/CvBaseFlow.h"

class CvPlayDeviceSignalFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
