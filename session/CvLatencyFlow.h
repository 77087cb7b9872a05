// Code 15: the output latency the playback engine measured when the count-off
// started. Waits up to 120 s for one on its event-loop thread; answers 0 when none
// came. A value is handed out once: it is reset to 0 after the answer.
#pragma once

#include "link/CvBaseFlow.h"

class CvLatencyFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
