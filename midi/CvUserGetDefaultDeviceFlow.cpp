#include "midi/CvUserGetDefaultDeviceFlow.h"

#include "midi/CvDeviceReport.h"
#include "midi/CvMidiState.h"

const CvFlowDescription& CvUserGetDefaultDeviceFlow::description() const {
  static const CvFlowDescription flow{
      7,
      "[CvUserGetDefaultDeviceFlow] error message: %s",
      false,  // no command lock
      "[CvUserGetDefaultDeviceFlow] start....",
      nullptr,  // no standard-output line
      "[CvUserGetDefaultDeviceFlow] return....",
  };
  return flow;
}

void CvUserGetDefaultDeviceFlow::ownStep(CvResponse& response) {
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  response.data = deviceObject(g_midi_device_info.currentMidiDevice.instrument_name,
                               g_midi_device_info.port_count);
}
