#include "midi/CvSelectMidiDeviceFlow.h"

#include "link/CvSocketUtility.h"
#include "midi/CvMidiState.h"
#include "service/CvLog.h"
#include "store/CvDeviceSqlite.h"

const CvFlowDescription& CvSelectMidiDeviceFlow::description() const {
  static const CvFlowDescription flow{
      4,
      "[CvSelectMidiDeviceFlow] error message: %s",
      false,  // no command lock
      "[CvSelectMidiDeviceFlow] start....",
      "CvSelectMidiDeviceFlow start....\n",
      "[CvSelectMidiDeviceFlow] return....",
  };
  return flow;
}

bool CvSelectMidiDeviceFlow::storeSelectedDevice(const std::string& deviceName) {
  if (deviceName.empty()) return true;
  CvDeviceSqlite().resetLatestDevice();
  std::string now = CvSocketUtility::nowText();
  if (CvDeviceSqlite().getDeviceByName(deviceName)) {
    cvlog::info("CvSelectMidiDeviceFlow: 3");
    return CvDeviceSqlite().updateDevice(deviceName, "1", now);
  }
  return CvDeviceSqlite().insertDevice(deviceName, "1", now, now);
}

void CvSelectMidiDeviceFlow::ownStep(CvResponse& response) {
  std::string deviceName = requestData()["deviceName"].asString();
  {
    std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
    g_midi_device_info.currentMidiDevice.instrument_name = deviceName;
  }
  if (!storeSelectedDevice(deviceName)) {
    // The port of the previous device stays open although the name has changed.
    response.data = codeMessage(11, "INSERT DATA TO DATABASE FAIL");
    return;
  }
  is_change_device.exchange(true);
  response.data = codeMessage(0, "SUCCESS");
}
