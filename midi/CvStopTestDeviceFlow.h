// Code 18: ends a keyboard test. A waiting blocking test (code 8) answers "stopped"
// at once; capture goes idle 200 ms later. Answers with the request's own data, or,
// while a performance waits or plays, code 6 and leaves everything alone.
#pragma once

#include "link/CvBaseFlow.h"

class CvStopTestDeviceFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
