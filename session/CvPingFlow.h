// Code 1: tells the web application the service is there and which version it is.
#pragma once

#include "link/CvBaseFlow.h"

class CvPingFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
