#include "store/CvSaveNotationDataFlow.h"

#include <utility>

#include "link/CvSocketUtility.h"
#include "store/CvCacheFolder.h"
#include "store/CvCacheSqlite.h"
#include "store/CvCacheWrite.h"

const CvFlowDescription& CvSaveNotationDataFlow::description() const {
  static const CvFlowDescription flow{
      19,
      "[CvSaveNotationDataFlow] error message: %s",
      true,  // holds g_flow_mutex
      "[CvSaveNotationDataFlow] start....",
      "CvSaveNotationDataFlow::Process()\n",
      "[CvSaveNotationDataFlow] return....",
  };
  return flow;
}

bool CvSaveNotationDataFlow::beforeSteps(CvResponse&) {
  return ensureCacheFolder("CvSaveNotationDataFlow");
}

void CvSaveNotationDataFlow::ownStep(CvResponse& response) {
  const Json::Value& in = requestData();
  std::string notation = dataText("notation");
  std::string exerciseId = CvSocketUtility::numberToString(in["exerciseId"].asInt());
  response.data = writeCacheEntry(
      cacheFilePath(exerciseId + ".txt"), std::move(notation),
      [&] { return saveExersiseModifiedDate(exerciseId, dataText("lastXmlModified")); },
      {"[CvSaveNotationDataFlow] can not write notation file: %s",
       "[CvSaveNotationDataFlow] ERROR WHEN UPDATE DATA TO DTBs"});
}
