// Code 30: stores the web application's time-out value.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/CvBaseFlow.h"

// The stored time-out value (initially 10000); written by this command only, with one
// exchange. Nothing in the service reads it yet.
extern std::atomic<int32_t> g_timeout_value;

class CvSetTimeOutValue : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  bool beforeSteps(CvResponse& response) override;
  void ownStep(CvResponse& response) override;
};
