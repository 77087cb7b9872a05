// Code 28: ends a polling keyboard test: capture goes idle. Refused (code 6) while a
// performance waits or plays: its recording and capture are left alone.
#pragma once

#include "link/CvBaseFlow.h"

class CvUserStopTestDevice : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
