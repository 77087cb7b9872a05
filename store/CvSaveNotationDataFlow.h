// Code 19: stores an exercise's notation text in the cache folder ("<id>.txt", byte
// for byte) and its modification stamp in the Exersise table. Holds g_flow_mutex
// throughout.
#pragma once

#include "link/CvBaseFlow.h"

class CvSaveNotationDataFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  bool beforeSteps(CvResponse& response) override;
  void ownStep(CvResponse& response) override;
};
