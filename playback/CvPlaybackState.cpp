#include "playback/CvPlaybackState.h"

#include <condition_variable>
#include <mutex>

#include "midi/CvMidiState.h"

std::atomic<bool> IS_PLAY_MUSIC{false};
std::atomic<int> playing_midi_state{STOP_STATE};
std::atomic<int32_t> g_play_latency_ms{0};
std::atomic<bool> g_play_latency_ready{false};

namespace {

std::atomic<uint64_t> g_latest_performance{0};

// Wakes the sleepers of WaitWhilePlaying and WaitForStartTime. The flag and the state
// change under the mutex, so a sleeper that has just checked them cannot miss the
// notification.
std::mutex g_wake_mutex;
std::condition_variable g_wake;

}  // namespace

uint64_t StartPlayingMusic() {
  std::lock_guard<std::mutex> lock(g_wake_mutex);
  uint64_t performance = g_latest_performance.fetch_add(1) + 1;
  IS_PLAY_MUSIC.exchange(true);
  return performance;
}

void StopPlayingMusic() {
  {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    IS_PLAY_MUSIC.exchange(false);
  }
  g_wake.notify_all();
}

bool PerformanceUnderWay() {
  int state = playing_midi_state.load();
  return state == WAITING_STATE || state == PLAYING_STATE;
}

void SetStopState() {
  {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    playing_midi_state.exchange(STOP_STATE);
  }
  g_wake.notify_all();
}

bool CallOffWaitingPerformance() {
  bool calledOff;
  {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    int waiting = WAITING_STATE;
    calledOff = playing_midi_state.compare_exchange_strong(waiting, STOP_STATE);
  }
  if (calledOff) g_wake.notify_all();
  return calledOff;
}

bool WaitForStartTime(std::chrono::steady_clock::time_point start) {
  std::unique_lock<std::mutex> lock(g_wake_mutex);
  return !g_wake.wait_until(lock, start,
                            [] { return playing_midi_state.load() != WAITING_STATE; });
}

bool IsPlaying(uint64_t performance) {
  return IS_PLAY_MUSIC.load() && g_latest_performance.load() == performance;
}

bool IsLatestPerformance(uint64_t performance) {
  return g_latest_performance.load() == performance;
}

void StopCaptureOf(uint64_t performance) {
  if (IsLatestPerformance(performance)) application_current_action.exchange(ACTION_IDLE);
}

bool WaitWhilePlaying(uint64_t performance, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(g_wake_mutex);
  g_wake.wait_until(lock, deadline, [performance] { return !IsPlaying(performance); });
  return IsPlaying(performance);
}
