#include "midi/CvStartedSessionFlow.h"

#include "link/CvSocketUtility.h"
#include "midi/CvDeviceReport.h"
#include "midi/CvRecordingList.h"
#include "service/CvLog.h"
#include "store/CvUserSqlite.h"

const CvFlowDescription& CvStartedSessionFlow::description() const {
  static const CvFlowDescription flow{
      2,
      "[CvStartedSessonFlow] error message: %s",
      false,  // no command lock
      "[CvStartedSessionFlow] start....",
      nullptr,  // no standard-output line
      "[CvStartedSessionFlow] return....",
  };
  return flow;
}

bool CvStartedSessionFlow::registerLearner(const std::string& clientID,
                                           const std::string& token) {
  setSessionUserId(clientID);
  if (clientID.empty() || token.empty()) return false;
  CvUserSqlite user;
  if (user.getUserById(clientID)) {
    g_speaker_pc.exchange(user.speakerPc);
    return true;
  }
  g_speaker_pc.exchange(false);
  std::string now = CvSocketUtility::nowText();
  return CvUserSqlite().insertUser(clientID, token, now, now);
}

void CvStartedSessionFlow::ownStep(CvResponse& response) {
  g_recording_list.clear();
  std::string token = requestData()["token"].asString();
  std::string clientID = requestData()["clientID"].asString();

  if (!registerLearner(clientID, token)) {
    response.data = codeMessage(11, "INSERT DATA TO DATABASE FAIL");
    return;
  }

  // A device change the port monitor has not acted on yet is dropped.
  is_change_device.exchange(false);
  CvMidiDevice device;
  uint32_t portCount = 0;
  {
    std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
    device = g_midi_device_info.currentMidiDevice;
    portCount = g_midi_device_info.port_count;
  }
  cvlog::out("g_midi_device_info.currentMidiDevice.instrument_name.length(): %lu \n",
             device.instrument_name.length());
  Json::Value data = codeMessage(0, "SUCCESS");
  data["Device"] = deviceObject(device.instrument_name, portCount);
  data["speakerPc"] = g_speaker_pc.load();
  if (!device.instrument_name.empty()) {
    // Equal ends (also a range never detected) mean no known range.
    bool noRange = device.lowest_note == device.highest_note;
    data["PianoLowestNote"] = noRange ? Json::Value() : pitchObject(device.lowest_note);
    data["PianoHighestNote"] = noRange ? Json::Value() : pitchObject(device.highest_note);
  }
  response.data = data;
}
