#include "midi/CvMidiTask.h"

#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include "link/CvSocketUtility.h"
#include "midi/CvMidiInput.h"
#include "service/CvLog.h"

namespace {

// Ports appear in the system a moment after the count changes; the refresh gives
// them this long to settle before it names them.
const std::chrono::milliseconds kPortSettleTime(300);
const long kTestNoteFreshMs = 150;

}  // namespace

bool CvMidiTask::RefreshPortList() {
  // A sleep rather than a spin on the clock: nothing here needs the wait to be exact,
  // and the monitor may refresh every pass while a named keyboard is missing.
  std::this_thread::sleep_for(kPortSettleTime);
  uint32_t count = 0;
  std::vector<CvMidiDevice> ports;
  bool listed = false;
  try {
    count = cvMidiIn.getPortCount();
    if (count == 0) {
      cvlog::warn("[CvMidiTask] no midi port");
    } else {
      ports.resize(count);
      for (uint32_t i = 0; i < count; ++i) ports[i].instrument_name = cvMidiIn.getPortName(i);
      listed = true;
    }
  } catch (const RtMidiError& e) {
    cvlog::error("Error: %s", e.getMessage());
  }
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  g_midi_device_info.port_count = count;
  g_midi_device_info.ports = std::move(ports);
  return listed;
}

bool CvMidiTask::SetCurrentMidiDevice(CvMidiDevice device, uint32_t knownPortCount) {
  unsigned int portNumber = 0;
  {
    std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
    const std::vector<CvMidiDevice>& ports = g_midi_device_info.ports;
    while (portNumber < ports.size() &&
           ports[portNumber].instrument_name != device.instrument_name) {
      ++portNumber;
    }
    if (portNumber == ports.size()) return false;
    g_midi_device_info.currentMidiDevice = device;
  }
  try {
    if (cvMidiIn.isPortOpen()) cvMidiIn.closePort();
    cvlog::info(" CvMidiTask::prepare open Port: %s\n", device.instrument_name);
    cvlog::info(" CvMidiTask::portcount %d\n", knownPortCount);
    if (cvMidiIn.getPortCount() == knownPortCount) cvMidiIn.openPort(portNumber, "RtMidi Input");
  } catch (const std::exception&) {
    cvlog::info(" CvMidiTask::SetCurrentMidiDevice EXCEPTION\n");
  }
  return true;
}

CvMidiEvent CvMidiTask::GetMidiEvent() {
  CvMidiEvent event;
  boost::posix_time::ptime arrivedAt;
  bool present = g_recording_list.firstTestNote(&event, &arrivedAt);
  long elapsedMs = static_cast<long>((CvSocketUtility::utcNow() - arrivedAt).total_milliseconds());
  if (present && elapsedMs < kTestNoteFreshMs) return event;
  cvlog::info("CvMidiEvent CvMidiTask::GetMidiEvent() -- INVAILAID EVENT - %f", elapsedMs);
  return CvMidiEvent();
}
