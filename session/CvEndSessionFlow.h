// Code 25: the learner's session ends. Resets the performance state, the speaker
// preference and the recorded notes, and echoes the request's data. A song that is
// playing goes on (IS_PLAY_MUSIC is left alone); one still waiting for its start time
// is called off.
#pragma once

#include "link/CvBaseFlow.h"

class CvEndSessionFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
