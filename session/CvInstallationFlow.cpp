#include "session/CvInstallationFlow.h"

#include "session/CvInstallationId.h"

const CvFlowDescription& CvInstallationFlow::description() const {
  static const CvFlowDescription flow{11, "[CvInstallationFlow] error message: %s"};
  return flow;
}

void CvInstallationFlow::ownStep(CvResponse& response) {
  Json::Value data(Json::objectValue);
  data["installationId"] = getOrCreateInstallationId();
  data["code"] = 0;
  data["message"] = "SUCCESS";
  response.data = data;
}
