#include "store/CvCheckSongMidiCacheFlow.h"

#include <exception>

#include "link/CvSocketUtility.h"
#include "service/CvLog.h"
#include "store/CvCacheFolder.h"
#include "store/CvCacheSqlite.h"

const CvFlowDescription& CvCheckSongMidiCacheFlow::description() const {
  static const CvFlowDescription flow{
      5,
      "[CvCheckSongMidiCacheFlow] error message: %s",
      false,  // no command lock
      "CvCheckSongMidiCacheFlow::Process()\n",
      nullptr,  // no standard-output line
      "[CvCheckSongMidiCacheFlow] return....",
  };
  return flow;
}

void CvCheckSongMidiCacheFlow::ownStep(CvResponse& response) {
  // This step has an error line of its own.
  try {
    std::string songId = CvSocketUtility::numberToString(requestData()["id"].asInt());
    Json::Value data(Json::objectValue);
    if (existsInCache(songId)) {
      data["code"] = 0;
      data["message"] = "ALREADY_CACHE_MIDI_FILE";
      CvCacheSqlite row;
      if (row.getMidi(songId)) data["lastMidiModified"] = row.lastModifiedDate;
    } else {
      data["code"] = 1;
      data["message"] = "NOT CACHE MIDI FILE";
    }
    response.data = data;
  } catch (const std::exception& e) {
    cvlog::error("[CvCheckSongMidiCacheFlow] getting data field eror: %s", e.what());
  }
}
