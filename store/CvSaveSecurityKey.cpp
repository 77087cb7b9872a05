#include "store/CvSaveSecurityKey.h"

#include "store/CvCacheWrite.h"
#include "store/CvSecurityKeyFile.h"

const CvFlowDescription& CvSaveSecurityKey::description() const {
  static const CvFlowDescription flow{
      21,
      "[CvSaveSecurityKey] error message: %s",
      false,  // no command lock
      "[CvSaveSecurityKey]-START........",
  };
  return flow;
}

void CvSaveSecurityKey::ownStep(CvResponse& response) {
  std::string scrambled = scrambleKey(dataText("EncryptionKey"));
  std::string path = securityKeyPath(request().clientID);
  if (path.empty()) {
    // A clientID that would place the file outside the cache folder: refused like a
    // failed write.
    response.data = Json::Value(Json::objectValue);
    response.data["code"] = 3;
    response.data["message"] = "WRITE FILE MIDI ERROR";
    return;
  }
  response.data = writeCacheEntry(path, scrambled, nullptr, {});
}
