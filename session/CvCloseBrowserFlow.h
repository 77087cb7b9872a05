// Code 26: the browser is closing. Only logged; no answer is sent.
#pragma once

#include "link/CvBaseFlow.h"

class CvCloseBrowserFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

  std::string Process() override;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
