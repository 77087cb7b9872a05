// Code 27: starts a polling keyboard test: capture switches to device-test mode.
#pragma once

#include "link/CvBaseFlow.h"

class CvUserStartTestDevice : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
