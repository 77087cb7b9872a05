#include "midi/CvGetMidiDeviceListFlow.h"

#include "midi/CvMidiState.h"
#include "midi/CvMidiTask.h"
#include "service/CvLog.h"

const CvFlowDescription& CvGetMidiDeviceListFlow::description() const {
  static const CvFlowDescription flow{
      3,
      "[CvGetMidiDeviceListFlow] error message: %s",
      false,  // no command lock
      "CvGetMidiDeviceListFlow::Process()\n",
  };
  return flow;
}

void CvGetMidiDeviceListFlow::ownStep(CvResponse& response) {
  cvlog::info("[CvGetMidiDeviceListFlow] start....");
  CvMidiTask().RefreshPortList();
  Json::Value list(Json::arrayValue);
  {
    std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
    for (const CvMidiDevice& port : g_midi_device_info.ports) {
      Json::Value entry(Json::objectValue);
      entry["id"] = port.instrument_name;
      entry["deviceName"] = port.instrument_name;
      list.append(entry);
    }
  }
  response.data = list;
}
