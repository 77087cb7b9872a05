#include "session/CvCloseBrowserFlow.h"

#include "service/CvLog.h"

const CvFlowDescription& CvCloseBrowserFlow::description() const {
  static const CvFlowDescription flow{26, nullptr};
  return flow;
}

std::string CvCloseBrowserFlow::Process() {
  cvlog::info("[CLOSEBROWSER]- START...");
  return std::string();
}

// Never runs: this command does not follow the skeleton.
void CvCloseBrowserFlow::ownStep(CvResponse&) {}
