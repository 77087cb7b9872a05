#include "link/CvFlowChain.h"

#include "link/CvInvalidFlow.h"
#include "link/CvSocketUtility.h"
#include "midi/CvGetMidiDeviceListFlow.h"
#include "midi/CvPianoDetectKeyboardFlow.h"
#include "midi/CvSelectMidiDeviceFlow.h"
#include "midi/CvStartedSessionFlow.h"
#include "midi/CvStopTestDeviceFlow.h"
#include "midi/CvUserGetDefaultDeviceFlow.h"
#include "midi/CvUserGetDeviceKey.h"
#include "midi/CvUserStartTestDevice.h"
#include "midi/CvUserStopTestDevice.h"
#include "midi/CvUserTestDeviceFlow.h"
#include "playback/CvCountOffFlow.h"
#include "playback/CvPlayMidiFlow.h"
#include "playback/CvStopCommandFlow.h"
#include "session/CvCloseBrowserFlow.h"
#include "session/CvEndSessionFlow.h"
#include "session/CvGetPluginInformationFlow.h"
#include "session/CvGetPluginVersionFlow.h"
#include "session/CvInstallationFlow.h"
#include "session/CvLatencyFlow.h"
#include "session/CvPingFlow.h"
#include "session/CvSetTimeOutValue.h"
#include "store/CvCheckSongMidiCacheFlow.h"
#include "store/CvGetNotationDataFlow.h"
#include "store/CvGetSecurityKey.h"
#include "store/CvPlayDeviceSignalFlow.h"
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
  add<CvStartedSessionFlow>(chain, request);
  add<CvGetMidiDeviceListFlow>(chain, request);
  add<CvSelectMidiDeviceFlow>(chain, request);
  add<CvCheckSongMidiCacheFlow>(chain, request);
  add<CvSaveSongMidiFlow>(chain, request);
  add<CvCountOffFlow>(chain, request);
  add<CvPlayMidiFlow>(chain, request);
  add<CvStopCommandFlow>(chain, request);
  add<CvInstallationFlow>(chain, request);
  add<CvLatencyFlow>(chain, request);
  add<CvUserTestDeviceFlow>(chain, request);
  add<CvStopTestDeviceFlow>(chain, request);
  add<CvGetPluginVersionFlow>(chain, request);
  add<CvGetPluginInformationFlow>(chain, request);
  add<CvPianoDetectKeyboardFlow>(chain, request);
  add<CvSaveNotationDataFlow>(chain, request);
  add<CvGetNotationDataFlow>(chain, request);
  add<CvPlayDeviceSignalFlow>(chain, request);
  add<CvEndSessionFlow>(chain, request);
  add<CvCloseBrowserFlow>(chain, request);
  add<CvUserGetDefaultDeviceFlow>(chain, request);
  add<CvUserStartTestDevice>(chain, request);
  add<CvUserStopTestDevice>(chain, request);
  add<CvUserGetDeviceKey>(chain, request);
  add<CvSetTimeOutValue>(chain, request);
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
