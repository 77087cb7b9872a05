#include "playback/CvStopCommandFlow.h"

#include "midi/CvMidiState.h"
#include "midi/CvPitchNames.h"
#include "midi/CvRecordingList.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"

namespace {

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
  // A play command still waiting for its start time is called off at once: nothing
  // has played or been recorded yet, so the report follows straight away.
  if (CallOffWaitingPerformance()) {
    cvlog::info("[CvStopCommandFlow] performance called off before its start time");
  }
  int state = playing_midi_state.load();
  if (state == PLAYING_STATE || state == STOP_STATE) {
    application_current_action.exchange(ACTION_IDLE);
    StopPlayingMusic();
    cvlog::info("[CvStopCommandFlow] GET EVENT FROM LIST\n");
    response.data = Report();
    SetStopState();
  } else {
    response.data = codeMessage(12, "THE MIDI DID NOT PLAY YET");
  }
}
