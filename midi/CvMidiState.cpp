#include "midi/CvMidiState.h"

std::atomic<bool> g_keep_alive_open{false};
CvMidiDeviceInfo g_midi_device_info;

std::string currentDeviceName() {
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  return g_midi_device_info.currentMidiDevice.instrument_name;
}
