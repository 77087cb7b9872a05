#include "link/CvInvalidFlow.h"

bool CvInvalidFlow::Matches() { return true; }

std::string CvInvalidFlow::Process() { return "No operation"; }

const CvFlowDescription& CvInvalidFlow::description() const {
  static const CvFlowDescription flow{-1, nullptr};
  return flow;
}
