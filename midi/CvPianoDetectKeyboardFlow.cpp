#include "midi/CvPianoDetectKeyboardFlow.h"

#include "link/CvSocketUtility.h"
#include "midi/CvMidiState.h"
#include "midi/CvPitchNames.h"
#include "service/CvLog.h"
#include "store/CvDeviceSqlite.h"

namespace {

const char* const kStepErrorLines[] = {
    "[CvPianoDetectKeyboardFlow 1] error message: %s",
    "[CvPianoDetectKeyboardFlow 2] error message: %s",
    "[CvPianoDetectKeyboardFlow 3] error message: %s",
    "[CvPianoDetectKeyboardFlow 4] error message: %s",
    "[CvPianoDetectKeyboardFlow 5] error message: %s",
    "[CvPianoDetectKeyboardFlow 6] error message: %s",
    "[CvPianoDetectKeyboardFlow 7] error message: %s",
    "[CvPianoDetectKeyboardFlow 8] error message: %s",
};

}  // namespace

const CvFlowDescription& CvPianoDetectKeyboardFlow::description() const {
  static const CvFlowDescription flow{
      14,
      kStepErrorLines[2],
      false,    // no command lock
      nullptr,  // no start line
      nullptr,  // no standard-output line
      nullptr,  // no end line
      false,    // the skeleton's SUCCESS envelope
      kStepErrorLines,
  };
  return flow;
}

int CvPianoDetectKeyboardFlow::noteOf(const char* key) const {
  const Json::Value& keyObject = requestData()[key];
  int octave = keyObject["octave"].asInt();
  std::string pitch = keyObject["pitch"].asString();
  return CvPitchNames().pitchToNote(pitch, octave);
}

void CvPianoDetectKeyboardFlow::ownStep(CvResponse& response) {
  int lowest = noteOf("LowestNote");
  int highest = noteOf("HighestNote");
  std::string deviceName = currentDeviceName();
  cvlog::out("CvDeviceSqlite::getDeviceByName: %s\n", deviceName);

  // A range that could not be written (a locked database) is not reported as stored.
  bool stored = CvDeviceSqlite().getDeviceByName(deviceName) &&
                CvDeviceSqlite().updateLowestHighestKey(deviceName, lowest, highest,
                                                        CvSocketUtility::nowText());
  response.data = stored ? codeMessage(0, "SUCCESS") : codeMessage(14, "SAVE DB ERROR");
}
