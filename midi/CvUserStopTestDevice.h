// Code 28: ends a polling keyboard test: capture goes idle.
#pragma once

#include "link/CvBaseFlow.h"

class CvUserStopTestDevice : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
