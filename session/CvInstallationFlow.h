// Code 11: this installation's identifier (made and stored on first use).
#pragma once

#include "link/CvBaseFlow.h"

class CvInstallationFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
