#include "store/CvGetNotationDataFlow.h"

#include "link/CvSocketUtility.h"
#include "service/CvLog.h"
#include "store/CvCacheFolder.h"
#include "store/CvCacheSqlite.h"

const CvFlowDescription& CvGetNotationDataFlow::description() const {
  static const CvFlowDescription flow{
      20,
      "[CvGetNotationDataFlow] error message: %s",
      true,  // holds g_flow_mutex
      "[CvGetNotationDataFlow]-START.....",
      nullptr,  // no standard-output line
      "[CvGetNotationData] Before return.....",
  };
  return flow;
}

void CvGetNotationDataFlow::ownStep(CvResponse& response) {
  CvCacheSqlite row;
  std::string exerciseId = CvSocketUtility::numberToString(requestData()["exerciseId"].asInt());
  std::string path = cacheFilePath(exerciseId + ".txt");

  Json::Value data(Json::objectValue);
  data["code"] = 0;
  data["message"] = "SUCCESS";
  if (isFileReadable(path) && row.getExersise(exerciseId)) {
    cvlog::info("[GETNOTATONDATAFLOW] - XML FILE FOUND, WE WILL COMPOSE IT");
    cvlog::info("[GETNOTATONDATAFLOW] - Before read file");
    data["notation"] = readCacheFile(path);
    data["lastXmlModified"] = row.lastModifiedDate;
  } else if (isFileReadable(path)) {
    cvlog::info("[GETNOTATIONDATAFLOW]- FILE FOUND BUT DON NOT HAVE INFORMATION ON DATABASE");
    data["notation"] = readCacheFile(path);
    data["lastXmlModified"] = "";
  } else {
    cvlog::info("[GETNOTATIONDATAFLOW] - FILE NOT FOUND - WE RETURN EMPTY");
    data["notation"] = "";
    data["lastXmlModified"] = "";
  }
  response.data = data;
}
