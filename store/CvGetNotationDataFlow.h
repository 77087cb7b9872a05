// Code 20: returns an exercise's cached notation text and its stored stamp (empty
// texts when missing). Holds g_flow_mutex throughout.
#pragma once

#include "link/CvBaseFlow.h"

class CvGetNotationDataFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
