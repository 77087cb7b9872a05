#include "session/CvPingFlow.h"

#include "service/CvService.h"

const CvFlowDescription& CvPingFlow::description() const {
  static const CvFlowDescription flow{1, "[CvPingFlow] error message: %s"};
  return flow;
}

void CvPingFlow::ownStep(CvResponse& response) {
  Json::Value data(Json::objectValue);
  data["pluginVersion"] = PLUGIN_VERSION;
  response.data = data;
}
