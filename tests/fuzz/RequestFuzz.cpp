// Messages as the WebSocket server hands them over: the input is one or more message
// texts separated by NUL bytes, each decoded and run through the command chain the way
// the server's message handler does, against a temporary install folder. Every answer
// is the unknown-command text or one line of JSON carrying the envelope's responseCode
// and errorMessage.
//
// No command may wait here. The ones whose handling waits by design answer at once
// from the state this target sets before each message, a state the service itself
// reaches:
//   8 (device test) and 18 (stop device test): a stop request that no test has taken
//     up yet is pending (as after a stop with no test running), so the test ends with
//     "STOP LISTENING" instead of polling for a key, and the stop re-arms capture
//     instead of giving a waiting test 200 ms.
//   15 (latency): a latency has been measured (as after any performance), so it
//     answers instead of polling for one.
//   9, 12, 10 (count-off, play, stop): there is no MIDI output, so a count-off never
//     prepares a song; play then answers "NOT FOUND MIDI FILE" before its start-time
//     wait, no performance starts, and stop never finds one waiting to begin.
// The device list (3) waits 300 ms and asks the system for its ports; it reaches the
// decoder and the chain but is not run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include <json/reader.h>

#include "link/CvFlowChain.h"
#include "link/CvServerSocket.h"
#include "link/CvSocketUtility.h"
#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "midi/CvUserTestDeviceFlow.h"
#include "playback/CvPlaybackState.h"
#include "session/CvPingFlow.h"
#include "tests/fuzz/FuzzInstallFolder.h"

namespace {

const int kDeviceListCode = 3;
const size_t kMessagesPerInput = 16;

FuzzInstallFolder* g_folder = nullptr;

void settleWaitingCommands() {
  g_test_stop_requested.exchange(true);
  g_play_latency_ready.exchange(true);
}

// The state a fresh service starts in, for what one input's commands may change.
void resetSession() {
  g_folder->clearStores();
  playing_midi_state.exchange(STOP_STATE);
  application_current_action.exchange(ACTION_IDLE);
  g_test_stop_allowed.exchange(true);
  g_test_waiting.exchange(false);
  is_change_device.exchange(false);
  g_speaker_pc.exchange(false);
  g_recording_list.clear();
  {
    std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
    g_midi_device_info.currentMidiDevice = CvMidiDevice();
  }
  setSessionUserId(std::string());
}

void checkAnswer(const std::string& answer) {
  if (answer.empty() || answer == "No operation") return;
  Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  bool parsed = answer.back() == '\n' && answer.find('\n') == answer.size() - 1 &&
                reader->parse(answer.data(), answer.data() + answer.size(), &root, &errors);
  if (!parsed || !root.isObject() || !root["responseCode"].isInt() ||
      !root["errorMessage"].isString()) {
    std::fprintf(stderr, "not an answer envelope: %s\n", answer.c_str());
    std::abort();
  }
}

void handleMessage(const std::string& payload) {
  settleWaitingCommands();
  std::shared_ptr<CvRequest> request = CvSocketUtility::parseRequest(payload);
  if (request != nullptr && request->methodName == KEEP_ALIVE_CODE) {
    checkAnswer(CvPingFlow(request).Process());
    return;
  }
  CvFlowChain chain = CreateFlowChain(payload);
  if (request != nullptr && request->methodName == kDeviceListCode) return;
  for (std::unique_ptr<CvBaseFlow>& flow : chain.flows) {
    if (RunFlow(*flow) != 1) continue;
    checkAnswer(flow->result);
    break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static FuzzInstallFolder folder;
  g_folder = &folder;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (size_t count = 0; count < kMessagesPerInput && start <= input.size(); ++count) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    handleMessage(input.substr(start, end - start));
    start = end + 1;
  }
  resetSession();
  return 0;
}
