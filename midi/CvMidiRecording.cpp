#include "midi/CvMidiRecording.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <thread>

#include "link/CvSocketUtility.h"
#include "midi/CvKeyClock.h"
#include "midi/CvMidiInput.h"
#include "midi/CvMidiState.h"
#include "midi/CvMidiTask.h"
#include "midi/CvRecordingList.h"
#include "midi/GetAvailableDevice.h"
#include "platform/platform.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"
#include "service/CvStateLine.h"
#include "store/CvUserSqlite.h"

namespace {

const std::chrono::milliseconds kPassPause(50);

// Dates the messages of the input port; restarted by the port monitor at each opening.
CvKeyClock keyClock;

void installCallback() {
  try {
    cvMidiIn.setCallback(&CvMidiRecording::RecordingCallback);
    cvMidiIn.ignoreTypes(false, false, false);
  } catch (...) {
  }
}

// The web application just disconnected: whatever plays stops, the port closes.
void onDisconnect() {
  g_speaker_pc.exchange(false);
  // The state first: a play command still waiting for its start time wakes and
  // never begins, whatever the order it raises IS_PLAY_MUSIC in.
  SetStopState();
  StopPlayingMusic();
  try {
    if (cvMidiIn.isPortOpen()) cvMidiIn.closePort();
  } catch (const RtMidiError& e) {
    cvlog::info("CvMidiRecording ERROR WHEN CLOSE MIDI IN - \n");
    e.printMessage();
  }
}

void loadSpeakerPreference() {
  CvUserSqlite user;
  g_speaker_pc.exchange(user.getUserById(sessionUserId()) && user.speakerPc);
}

// No input port is left: close the port and forget the device name (not its range).
void onNoPorts(int32_t& monitorNumberPorts) {
  try {
    if (cvMidiIn.isPortOpen()) {
      cvlog::out("cvMidiIn.getPortCount = 0 -- cvMidiIn port is open\n");
      cvMidiIn.closePort();
    }
    monitorNumberPorts = 0;
    std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
    if (!g_midi_device_info.currentMidiDevice.instrument_name.empty()) {
      g_midi_device_info.port_count = 0;
      g_midi_device_info.currentMidiDevice.instrument_name.clear();
    }
  } catch (...) {
  }
}

void onPortCountChanged(int32_t& monitorNumberPorts, int32_t portCount) {
  cvlog::info("monitorNumberPorts: %d != CurrentPort: %d\n", monitorNumberPorts, portCount);
  monitorNumberPorts = portCount;
  CvMidiTask().RefreshPortList();
  GetAvailableDevice finder;
  if (!finder.isDeviceConnected(currentDevice())) finder.getAvaiableDevice();
  is_change_device.exchange(true);
}

void closeForDeviceChange() {
  try {
    is_change_device.exchange(false);
    if (cvMidiIn.isPortOpen()) {
      cvlog::info("is_change_device = true -- close port\n");
      cvMidiIn.closePort();
    }
  } catch (...) {
  }
}

// What the monitor finds again at every pass while no keyboard is open, said on
// standard output when it begins rather than at each pass.
struct ClosedPortLines {
  CvStateLine notOpen{"Midi port not open yet \n"};
  CvStateLine opening{"cvMidiTask->SetCurrentMidiDevice(g_midi_device_info.currentMidiDevice)\n"};

  void portOpen() {
    notOpen.ended();
    opening.ended();
  }
};

void openCurrentDevice(int32_t monitorNumberPorts, ClosedPortLines& lines) {
  lines.notOpen.holds();
  if (cvMidiIn.getPortCount() == 0 || currentDeviceName().empty() || is_change_device.load() ||
      !g_keep_alive_open.load()) {
    lines.opening.ended();
    return;
  }
  CvMidiTask task;
  task.RefreshPortList();
  lines.opening.holds();
  // The first message of the new port begins a chain of its own: the deltas the library
  // hands over may run on from the last port's, or from another server's clock.
  keyClock.restart();
  task.SetCurrentMidiDevice(currentDevice(), static_cast<uint32_t>(monitorNumberPorts));
  installCallback();
}

}  // namespace

void CvMidiRecording::ProcessRecordingMidi() {
  platform::nameThread("cv-port-monitor");
  installCallback();
  g_recording_list.clear();

  bool keepAliveSeen = false;
  int32_t monitorNumberPorts = 0;
  bool lastPassFailed = false;
  ClosedPortLines closedPortLines;
  while (true) {
    try {
      bool keepAlive = g_keep_alive_open.load();
      bool changed = keepAlive != keepAliveSeen;
      keepAliveSeen = keepAlive;
      if (!keepAlive) {
        if (changed) onDisconnect();
      } else {
        if (changed) loadSpeakerPreference();
        int32_t portCount = static_cast<int32_t>(cvMidiIn.getPortCount());
        if (portCount == 0) {
          onNoPorts(monitorNumberPorts);
        } else {
          if (portCount != monitorNumberPorts) onPortCountChanged(monitorNumberPorts, portCount);
          if (is_change_device.load()) closeForDeviceChange();
          if (cvMidiIn.isPortOpen()) {
            closedPortLines.portOpen();
          } else {
            openCurrentDevice(monitorNumberPorts, closedPortLines);
          }
        }
      }
      lastPassFailed = false;
    } catch (...) {
      cvlog::info("CvMidiRecording::ProcessRecordingMidi ...ERROR IN LOOP..");
      // A failed pass is retried at once, but a failure that repeats waits like any
      // pass, so it can neither spin a core nor flood the log.
      bool retryAtOnce = !lastPassFailed;
      lastPassFailed = true;
      if (retryAtOnce) continue;
    }
    std::this_thread::sleep_for(kPassPause);
  }
}

void CvMidiRecording::RecordingCallback(double timeStamp, std::vector<unsigned char>* message,
                                        void*) {
  try {
    // Every message, of whatever kind and whatever the capture mode, is a link of the
    // chain the deltas form.
    auto playedAt = keyClock.arrived(timeStamp, std::chrono::steady_clock::now());
    int action = application_current_action.load();
    if (action != ACTION_RECORD_SONG && action != ACTION_TEST_DEVICE) return;
    unsigned char status = message->at(0);
    if (status < 0x90 || status > 0x9F) return;
    cvlog::info("application_current_action = %d\n", action);

    CvMidiEvent event;
    event.status = status;
    event.channel = static_cast<uint8_t>(status - 0x90);
    event.note = message->at(1);
    event.velocity = message->at(2);
    event.bytes = *message;
    // Truncated toward zero; a start time not set yet makes the time meaningless, as
    // it is in a device test, but never undefined.
    int64_t sinceStart = std::chrono::duration_cast<std::chrono::milliseconds>(
                             playedAt - g_recording_start_time.load())
                             .count();
    event.time = static_cast<int32_t>(sinceStart - g_recording_offset_ms.load());
    if (event.velocity == 0) return;

    cvlog::info("CvMidiRecording::RecordingCallback: INSERT EVENT TO RECORDING LIST");
    if (application_current_action.load() == ACTION_TEST_DEVICE) {
      g_recording_list.replaceWithTestNote(event, CvSocketUtility::utcNow());
    } else {
      g_recording_list.append(event);
    }
  } catch (...) {
    cvlog::info("CvMidiRecording::RecordingCallback ...ERROR WHEN GOT MIDI MESSAGE");
  }
}
