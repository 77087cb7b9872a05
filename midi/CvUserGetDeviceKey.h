// Code 29: the key pressed in the last 150 ms of a polling test, reported once. Only
// while capture is in device-test mode: a song's recording is never reported or emptied.
#pragma once

#include "link/CvBaseFlow.h"

class CvUserGetDeviceKey : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
