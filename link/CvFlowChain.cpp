#include "link/CvFlowChain.h"

#include "link/CvInvalidFlow.h"
#include "link/CvSocketUtility.h"
#include "session/CvGetPluginInformationFlow.h"
#include "session/CvGetPluginVersionFlow.h"
#include "session/CvInstallationFlow.h"
#include "session/CvPingFlow.h"
#include "store/CvCheckSongMidiCacheFlow.h"
#include "store/CvGetNotationDataFlow.h"
#include "store/CvGetSecurityKey.h"
#include "store/CvSaveNotationDataFlow.h"
#include "store/CvSaveSecurityKey.h"
#include "store/CvSaveSongMidiFlow.h"

namespace {

template <typename Flow>
void add(CvFlowChain& chain, const std::shared_ptr<const CvRequest>& request) {
  chain.flows.push_back(std::make_unique<Flow>(request));
}

}  // namespace

CvFlowChain CreateFlowChain(const std::string& text) {
  std::shared_ptr<const CvRequest> request = CvSocketUtility::parseRequest(text);
  CvFlowChain chain;
  // Chain order; the codes are distinct, so only CvInvalidFlow depends on its place.
  add<CvPingFlow>(chain, request);
  add<CvCheckSongMidiCacheFlow>(chain, request);
  add<CvSaveSongMidiFlow>(chain, request);
  add<CvInstallationFlow>(chain, request);
  add<CvGetPluginVersionFlow>(chain, request);
  add<CvGetPluginInformationFlow>(chain, request);
  add<CvSaveNotationDataFlow>(chain, request);
  add<CvGetNotationDataFlow>(chain, request);
  add<CvSaveSecurityKey>(chain, request);
  add<CvGetSecurityKey>(chain, request);
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
