// Code 27: starts a polling keyboard test: capture switches to device-test mode.
// Refused (code 6) while a performance waits or plays: its recording is left alone.
#pragma once

#include "link/CvBaseFlow.h"

class CvUserStartTestDevice : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
