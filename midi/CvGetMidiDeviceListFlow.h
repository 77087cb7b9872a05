// Code 3: lists the MIDI input ports now present, in port order.
#pragma once

#include "link/CvBaseFlow.h"

class CvGetMidiDeviceListFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
