#include "midi/GetAvailableDevice.h"

#include <string>
#include <vector>

#include "link/CvSocketUtility.h"
#include "midi/CvMidiTask.h"
#include "midi/CvPitchNames.h"
#include "service/CvLog.h"
#include "store/CvDeviceSqlite.h"

namespace {

// Makes the stored device current, with its keyboard range.
void makeCurrent(const CvDeviceSqlite& row) {
  CvPitchNames names;
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  CvMidiDevice& current = g_midi_device_info.currentMidiDevice;
  current.instrument_name = row.deviceName;
  current.lowest_note = names.noteToPitch(row.lowestNote);
  current.highest_note = names.noteToPitch(row.highestNote);
}

void setCurrentName(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  g_midi_device_info.currentMidiDevice.instrument_name = name;
}

std::vector<std::string> listedPortNames() {
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < g_midi_device_info.port_count && i < g_midi_device_info.ports.size();
       ++i) {
    names.push_back(g_midi_device_info.ports[i].instrument_name);
  }
  return names;
}

}  // namespace

bool GetAvailableDevice::isDeviceConnected(const CvMidiDevice& device) {
  for (const std::string& name : listedPortNames()) {
    if (name == device.instrument_name) return true;
  }
  return false;
}

void GetAvailableDevice::getAvaiableDevice() {
  cvlog::info("Start GetAvailableDevice::getAvaiableDevice");
  CvMidiTask().RefreshPortList();
  setCurrentName(std::string());
  CvDeviceSqlite latest;
  if (latest.getLatestDevice()) {
    setCurrentName(latest.deviceName);
    CvMidiDevice candidate;
    candidate.instrument_name = latest.deviceName;
    if (isDeviceConnected(candidate)) {
      makeCurrent(latest);
      cvlog::info("[GETAVAILABLE CLASS] - DEVICE IS DETECED");
      return;
    }
  }
  cvlog::info("[GETAVAILABLE CLASS] - LAST DEVICE IS DISCONNECT, TRY FIND ANOTHER ONE FROM DTBS");
  findDeviceFromDatabase();
}

void GetAvailableDevice::findDeviceFromDatabase() {
  for (const std::string& portName : listedPortNames()) {
    CvDeviceSqlite row;
    if (!row.getDeviceByName(portName)) continue;
    CvDeviceSqlite().resetLatestDevice();
    CvDeviceSqlite().updateDevice(portName, "1", CvSocketUtility::nowText());
    makeCurrent(row);
    return;
  }
  setCurrentName(std::string());
}
