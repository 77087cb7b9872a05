#include "store/CvSaveSongMidiFlow.h"

#include <utility>

#include "link/CvSocketUtility.h"
#include "service/CvLog.h"
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
  std::string text = dataText("midiFile");
  std::string bytes;
  if (isWholeBase64(text)) {
    bytes = decodeBase64(text);
  } else {
    // Left empty, the write below refuses it: the answer is 3 and the song cached
    // before stays as it was.
    cvlog::error("[CvSaveSongMidiFlow] midiFile is not one line of Base64");
  }
  std::string songId = CvSocketUtility::numberToString(in["id"].asInt());
  response.data = writeCacheEntry(
      cacheFilePath(songId), std::move(bytes),
      [&] { return saveMidiModifiedDate(songId, dataText("lastMidiModified")); },
      {"[CvSaveSongMidiFlow] can not write midi file: %s",
       "[CvSaveSongMidiFlow] FAIL TO UPDATE DTBs"});
}
