#include "playback/CvStopCommandFlow.h"

#include <chrono>
#include <thread>

#include "midi/CvMidiState.h"
#include "midi/CvPitchNames.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"

namespace {

const std::chrono::milliseconds kStartWaitLimit(10000);
const std::chrono::milliseconds kStartPollPause(10);

// Every branch ends with an empty recording, also when building the report failed.
struct RecordingEmptier {
  ~RecordingEmptier() { g_recording_list.clear(); }
};

Json::Value Report() {
  Json::Value data(Json::objectValue);
  data["eventList"] = Json::Value(Json::arrayValue);
  CvPitchNames names;
  for (const CvMidiEvent& event : g_recording_list.snapshot()) {
    CvNotePitch pitch = names.noteToPitch(event.note);
    if (pitch.pitch.empty() && pitch.octave == 0) continue;
    cvlog::info("[CvStopCommandFlow] note pitch %s, octave %d at milisecond %d\n", pitch.pitch,
                pitch.octave, event.time);
    Json::Value note(Json::objectValue);
    note["pitch"] = pitch.pitch;
    note["octave"] = pitch.octave;
    Json::Value element(Json::objectValue);
    element["noteList"].append(note);
    element["time"] = event.time;
    data["eventList"].append(element);
  }
  return data;
}

}  // namespace

const CvFlowDescription& CvStopCommandFlow::description() const {
  static const CvFlowDescription flow{
      10,
      "[CvStopCommandFlow] error message: %s",
      false,  // no command lock: it stops a play command that holds it
      "[CvStopCommandFlow] start....\n",
      nullptr,
      "[CvStopCommandFlow] return....",
  };
  return flow;
}

void CvStopCommandFlow::ownStep(CvResponse& response) {
  RecordingEmptier emptier;
  auto t0 = std::chrono::steady_clock::now();
  if (playing_midi_state.load() == WAITING_STATE) {
    // The play command waits for its start time; the count-off can be stopped only
    // once it has begun. A performance called off meanwhile (the web application
    // left) never begins: its report is due at once, not a time-out.
    while (playing_midi_state.load() == WAITING_STATE) {
      if (std::chrono::steady_clock::now() - t0 > kStartWaitLimit) {
        cvlog::error("[CvStopCommandFlow] timeout stop");
        response.data = codeMessage(13, "STOP COMMAND TIMEOUT");
        return;
      }
      std::this_thread::sleep_for(kStartPollPause);
    }
  }
  int state = playing_midi_state.load();
  if (state == PLAYING_STATE || state == STOP_STATE) {
    application_current_action.exchange(ACTION_IDLE);
    StopPlayingMusic();
    cvlog::info("[CvStopCommandFlow] GET EVENT FROM LIST\n");
    response.data = Report();
    playing_midi_state.exchange(STOP_STATE);
  } else {
    response.data = codeMessage(12, "THE MIDI DID NOT PLAY YET");
  }
}
