// Code 22: returns the requesting client's parked key, unscrambled; code 1 with an
// empty key when there is none (or it cannot be read). Takes no command lock.
#pragma once

#include "link/CvBaseFlow.h"

class CvGetSecurityKey : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
