#include "playback/CvCountOffFlow.h"

#include <exception>

#include "link/CvSocketUtility.h"
#include "midi/CvMidiState.h"
#include "playback/CvCountOffInfo.h"
#include "playback/CvMidiTaskPlayer.h"
#include "playback/CvPlaybackState.h"
#include "playback/CvSongTiming.h"
#include "service/CvLog.h"
#include "store/CvCacheFolder.h"

namespace {

const char* const kPlayingMessage = "THE DEVICE IS PLAYING MIDI FILE";
const char* const kNotFoundMessage = "NOT FOUND MIDI FILE";
const char* const kLoadErrorLine = "[CVCOUNTOFFFLOW] - LOAD MIDI ERROR OR MIDI DATA IS NULL....";

void refuseAsPlaying(CvResponse& response) {
  response.responseCode = 7;
  response.errorMessage = kPlayingMessage;
}

void answerNotFound(Json::Value& data, CvResponse& response) {
  data["duration"] = 0;
  data["code"] = 2;
  data["message"] = kNotFoundMessage;
  response.responseCode = 2;
  response.errorMessage = kNotFoundMessage;
}

}  // namespace

const CvFlowDescription& CvCountOffFlow::description() const {
  static const CvFlowDescription flow{
      9,
      "[CvCountOffFlow] error message: %s",
      true,  // holds g_flow_mutex
      "[CvCountOffFlow] Starting...",
      nullptr,
      nullptr,
      true,  // answers its own responseCode and errorMessage
  };
  return flow;
}

void CvCountOffFlow::ownStep(CvResponse& response) {
  if (!g_player->AcceptsNewPerformance()) {
    refuseAsPlaying(response);
    return;
  }
  try {
    response.data = PrepareSong(response);
  } catch (const std::exception& e) {
    // The answer says the song is not ready; the data is left out.
    cvlog::error("[CvCountOffFlow] compose data error: %s", e.what());
    cvlog::info(kLoadErrorLine);
    response.responseCode = 2;
    response.errorMessage = kNotFoundMessage;
  }
}

Json::Value CvCountOffFlow::PrepareSong(CvResponse& response) {
  playing_midi_state.exchange(READY_STATE);
  Json::Value data(Json::objectValue);
  data["isSetDevice"] = currentDeviceName().empty() ? 0 : 1;
  const Json::Value& in = requestData();
  const Json::Value& timeSignature = in["timeSignature"];
  std::string songId = CvSocketUtility::numberToString(in["songId"].asInt());
  if (!existsInCache(songId)) {
    cvlog::info("[CVCOUNTOFFFLOW] - NOT FOUND DATA, RETURN HERE....");
    answerNotFound(data, response);
    return data;
  }

  cvlog::info("[CVCOUNTOFFFLOW] - REPARE DATA FOR PLAYING MIDI");
  g_player->songPath = songId;
  int32_t tempo = dataLeadingInteger("tempo");
  int32_t startPosition = in["startPosition"].asInt();
  int32_t endTime = in["endTime"].asInt();
  int32_t startTime = in["startTime"].asInt();
  int32_t endBeat = in["endBeat"].asInt();
  int32_t startBeat = in["startBeat"].asInt();
  int32_t endMeasure = in["endMeasure"].asInt();
  int32_t startMeasure = in["startMeasure"].asInt();
  int32_t beatType = timeSignature["beatType"].asInt();
  int32_t beats = timeSignature["beats"].asInt();
  SetSongParameters(g_player->song, beats, tempo, beatType, startMeasure, endMeasure, startBeat,
                    endBeat, startTime, endTime, startPosition);

  const std::string fault = SongParameterFault(g_player->song);
  if (!fault.empty()) {
    // No song has such a value: refused before anything is timed or counted.
    cvlog::error("[CvCountOffFlow] the song cannot be counted off: %s", fault);
    g_player->Unprepare();
  } else if (g_player->ReadyPlayback()) {
    ComputeCountOff();
    data["duration"] = ExpectedCountOffLength();
    data["code"] = 0;
    data["message"] = "SUCCESS";
    response.responseCode = 0;
    response.errorMessage = "SUCCESS";
    return data;
  }
  cvlog::info(kLoadErrorLine);
  answerNotFound(data, response);
  return data;
}
