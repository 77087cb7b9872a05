#include "session/CvGetPluginInformationFlow.h"

#include "service/CvService.h"
#include "session/CvInstallationId.h"

const CvFlowDescription& CvGetPluginInformationFlow::description() const {
  static const CvFlowDescription flow{17, "[CvGetPluginInformationFlow] error message %s"};
  return flow;
}

void CvGetPluginInformationFlow::ownStep(CvResponse& response) {
  Json::Value data(Json::objectValue);
  data["code"] = 0;
  data["version"] = PLUGIN_VERSION;
  data["installationId"] = getOrCreateInstallationId();
  response.data = data;
}
