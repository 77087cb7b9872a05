#include "midi/CvMidiState.h"

#include "link/CvSocketUtility.h"

CvMidiDeviceInfo g_midi_device_info;

std::atomic<int> application_current_action{ACTION_IDLE};
std::atomic<bool> is_change_device{false};
std::atomic<bool> g_keep_alive_open{false};
std::atomic<bool> g_speaker_pc{false};

std::atomic<boost::posix_time::ptime> g_last_test_note_time{CvSocketUtility::utcNow()};
std::atomic<std::chrono::steady_clock::time_point> g_recording_start_time{
    std::chrono::steady_clock::time_point()};
std::atomic<int32_t> g_recording_offset_ms{0};

namespace {

std::mutex g_session_user_mutex;
std::string g_session_user_id;  // guarded by g_session_user_mutex

}  // namespace

CvMidiDevice currentDevice() {
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  return g_midi_device_info.currentMidiDevice;
}

std::string currentDeviceName() {
  std::lock_guard<std::mutex> lock(g_midi_device_info.mutex);
  return g_midi_device_info.currentMidiDevice.instrument_name;
}

std::string sessionUserId() {
  std::lock_guard<std::mutex> lock(g_session_user_mutex);
  return g_session_user_id;
}

void setSessionUserId(const std::string& userId) {
  std::lock_guard<std::mutex> lock(g_session_user_mutex);
  g_session_user_id = userId;
}
