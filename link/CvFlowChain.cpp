#include "link/CvFlowChain.h"

#include "link/CvInvalidFlow.h"
#include "link/CvSocketUtility.h"

namespace {

template <typename Flow>
void add(CvFlowChain& chain, const std::shared_ptr<const CvRequest>& request) {
  chain.flows.push_back(std::make_unique<Flow>(request));
}

}  // namespace

CvFlowChain CreateFlowChain(const std::string& text) {
  std::shared_ptr<const CvRequest> request = CvSocketUtility::parseRequest(text);
  CvFlowChain chain;
  add<CvInvalidFlow>(chain, request);
  return chain;
}

int RunFlow(CvBaseFlow& flow) {
  try {
    if (!flow.Matches()) return 0;
    flow.result = flow.Process();
    return 1;
  } catch (...) {
    return 0;
  }
}
