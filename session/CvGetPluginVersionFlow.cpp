#include "session/CvGetPluginVersionFlow.h"

#include "playback/CvPlaybackState.h"
#include "service/CvService.h"

const CvFlowDescription& CvGetPluginVersionFlow::description() const {
  // Its guards catch everything and log nothing.
  static const CvFlowDescription flow{16, nullptr};
  return flow;
}

bool CvGetPluginVersionFlow::beforeSteps(CvResponse&) {
  StopPlayingMusic();
  return true;
}

void CvGetPluginVersionFlow::ownStep(CvResponse& response) {
  Json::Value data(Json::objectValue);
  data["code"] = 0;
  data["version"] = PLUGIN_VERSION;
  response.data = data;
}
