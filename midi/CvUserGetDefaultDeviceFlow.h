// Code 7: reports the current keyboard and the number of input ports, as they are.
#pragma once

#include "link/CvBaseFlow.h"

class CvUserGetDefaultDeviceFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
