#include "session/CvLatencyFlow.h"

#include <chrono>
#include <thread>

#include "playback/CvPlaybackState.h"

namespace {

const std::chrono::milliseconds kWaitLimit(120000);
const std::chrono::milliseconds kPollPause(10);

}  // namespace

const CvFlowDescription& CvLatencyFlow::description() const {
  static const CvFlowDescription flow{15, "[CvLatencyFlow] error message: %s"};
  return flow;
}

void CvLatencyFlow::ownStep(CvResponse& response) {
  auto start = std::chrono::steady_clock::now();
  while (g_play_latency_ms.load() == 0 && !g_play_latency_ready.load() &&
         std::chrono::steady_clock::now() - start <= kWaitLimit) {
    std::this_thread::sleep_for(kPollPause);
  }
  Json::Value data(Json::objectValue);
  data["latency"] = g_play_latency_ms.exchange(0);
  response.data = data;
}
