#include "playback/CvAudioPlay.h"

#include <thread>

#include "platform/platform.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"

CvAudioPlay::CvAudioPlay(const std::string& path) : path(path) {}

CvAudioPlay::~CvAudioPlay() { CloseFile(); }

bool CvAudioPlay::OpenFile() {
  CloseFile();
  file = std::fopen(path.c_str(), "rb");
  return file != nullptr;
}

void CvAudioPlay::CloseFile() {
  if (file == nullptr) return;
  std::fclose(file);
  file = nullptr;
}

void CvAudioPlay::Play() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(duration);
  if (file == nullptr) {  // no click to play: the beat still lasts its time
    std::this_thread::sleep_until(end);
    return;
  }
  uint32_t click = 0;
  platform::RawSound sound;
  sound.path = path;
  sound.rate = static_cast<uint32_t>(sampleRate);
  sound.at = soundAt;
  uint32_t code = platform::playRawSound(sound, click);
  if (code == platform::kWaveNoDevice) {
    cvlog::error("[CvAudioPlay] no audio device found");
    return;
  }
  if (code != 0) {
    cvlog::error("[CvAudioPlay] error when playing audio file %s",
                 "the sound output refused the click (code " + std::to_string(code) + ")");
    return;
  }
  if (performance != 0) {
    WaitWhilePlaying(performance, end);
  } else {
    std::this_thread::sleep_until(end);
  }
  platform::stopRawSound(click);
}
