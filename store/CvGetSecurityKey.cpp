#include "store/CvGetSecurityKey.h"

#include <exception>

#include "service/CvLog.h"
#include "store/CvCacheFolder.h"
#include "store/CvSecurityKeyFile.h"

namespace {

Json::Value noKey() {
  Json::Value data(Json::objectValue);
  data["code"] = 1;
  data["message"] = "WRITE FILE MIDI ERROR";
  data["EncryptionKey"] = "";
  return data;
}

}  // namespace

const CvFlowDescription& CvGetSecurityKey::description() const {
  static const CvFlowDescription flow{
      22,
      "[CvGetSecurityKey] error message: %s",
      false,  // no command lock
      "[CvGetSecurityKey]-START........",
      nullptr,  // no standard-output line
      "[END...GET ENCRYPTION KEY]",
  };
  return flow;
}

void CvGetSecurityKey::ownStep(CvResponse& response) {
  // A failed read still answers, with "no key".
  try {
    std::string path = securityKeyPath(request().clientID);
    if (path.empty() || !isFileReadable(path)) {
      response.data = noKey();
      return;
    }
    Json::Value data(Json::objectValue);
    data["code"] = 0;
    data["message"] = "SUCCESS";
    data["EncryptionKey"] = scrambleKey(readCacheFile(path));
    response.data = data;
  } catch (const std::exception& e) {
    response.data = noKey();
    cvlog::error(description().errorLine, e.what());
  }
}
