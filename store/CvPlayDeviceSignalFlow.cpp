#include "store/CvPlayDeviceSignalFlow.h"

#include <exception>

#include "midi/CvMidiState.h"
#include "service/CvLog.h"
#include "store/CvUserSqlite.h"

namespace {

const char* const kErrorLine = "[CvPlayDeviceSignalFlow] error message: %s";

}  // namespace

const CvFlowDescription& CvPlayDeviceSignalFlow::description() const {
  static const CvFlowDescription flow{
      23,
      kErrorLine,
      false,    // no command lock
      nullptr,  // no start line
      nullptr,  // no standard-output line
      nullptr,  // no end line
      true,     // answers its own responseCode and errorMessage
  };
  return flow;
}

void CvPlayDeviceSignalFlow::ownStep(CvResponse& response) {
  const std::string& clientID = request().clientID;
  Json::Value data(Json::objectValue);
  try {
    if (CvUserSqlite().getUserById(clientID)) {
      bool speakerPc = requestData()["speakerPc"].asBool();
      g_speaker_pc.exchange(speakerPc);
      CvUserSqlite().updateSpeakerPc(speakerPc ? "1" : "0", clientID);
      response.responseCode = 0;
      response.errorMessage = "SUCCESS";
      data = codeMessage(0, "SUCCESS");
    } else {
      response.responseCode = -1;
      response.errorMessage = "NOT HAVE CLIENT ID: " + clientID + " IN DATABASE";
    }
  } catch (const std::exception& e) {
    // A request that cannot be read is not a success: the answer says why.
    cvlog::error(kErrorLine, e.what());
    response.responseCode = -1;
    response.errorMessage = e.what();
  }
  response.data = data;
}
