#include "store/CvSaveSongMidiFlow.h"

#include <utility>

#include "link/CvSocketUtility.h"
#include "store/CvCacheFolder.h"
#include "store/CvCacheSqlite.h"
#include "store/CvCacheWrite.h"

const CvFlowDescription& CvSaveSongMidiFlow::description() const {
  static const CvFlowDescription flow{
      6,
      "[CvSaveSongMidiFlow] error message: %s",
      true,  // holds g_flow_mutex
      "[CvSaveSongMidiFlow] start....",
      "CvSaveSongMidiFlow::Process()\n",
      "[CvSaveSongMidiFlow] return....",
  };
  return flow;
}

bool CvSaveSongMidiFlow::beforeSteps(CvResponse&) {
  return ensureCacheFolder("CvSaveSongMidiFlow");
}

void CvSaveSongMidiFlow::ownStep(CvResponse& response) {
  const Json::Value& in = requestData();
  std::string bytes = decodeBase64(dataText("midiFile"));
  std::string songId = CvSocketUtility::numberToString(in["id"].asInt());
  response.data = writeCacheEntry(
      cacheFilePath(songId), std::move(bytes),
      [&] { return saveMidiModifiedDate(songId, dataText("lastMidiModified")); },
      {"[CvSaveSongMidiFlow] can not write midi file: %s",
       "[CvSaveSongMidiFlow] FAIL TO UPDATE DTBs"});
}
