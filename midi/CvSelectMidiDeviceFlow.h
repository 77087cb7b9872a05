// Code 4: makes the keyboard named by its port name the current device and remembers
// it as the latest in the Device table. The port itself is reopened by the port
// monitor, which this command tells through is_change_device.
#pragma once

#include "link/CvBaseFlow.h"

class CvSelectMidiDeviceFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
  // Marks deviceName as the only latest Device row, inserting it when new. An empty
  // name stores nothing and counts as success.
  bool storeSelectedDevice(const std::string& deviceName);
};
