// Linux wave player behind waveOpen / wavePlay / waveClose: every voice is mixed into
// one output stream of the audio API the platform chose. The stream opens with the
// first voice (so a word starts within one audio period of its play command) and
// closes after it has had nothing to sound for a few seconds, so an idle service keeps
// no audio client and costs no processor time; reopening costs the next word the time
// RtAudio takes to open a stream. It runs at the device's own rate (JACK
// takes no other) and every voice is converted to it while mixing.
#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <log4cpp/Category.hh>

#include "platform/linux/wave_file.h"
#include "platform/platform.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

const unsigned kChannels = 2;
const unsigned kFallbackRate = 22050;  // when the device names no rate of its own
const unsigned kBufferFrames = 256;    // a request: JACK uses its own period
const char* const kStreamName = "pianocorvida count-off";
const size_t kMaxVoices = 64;
const std::chrono::seconds kIdleBeforeClose{3};
const std::chrono::milliseconds kIdleCheckInterval{250};

struct Voice {
  std::string path;
  std::shared_ptr<const WaveSound> sound;
  bool started = false;
  double position = 0;  // in frames of the sound

  bool sounding() const { return started && position < sound->frames(); }
};

class WavePlayer {
 public:
  uint32_t open(const std::string& path);
  uint32_t play(const std::string& path);
  uint32_t close(const std::string& path);

 private:
  static int render(void* output, void* input, unsigned int frames, double streamTime,
                    RtAudioStreamStatus status, void* self);
  void mix(float* output, unsigned int frames);
  bool openStream();  // streamMutex_ held
  void closeWhenIdle();
  bool busy() const;  // mutex_ held

  // Opening and closing the stream; taken before mutex_, never by the audio callback.
  std::mutex streamMutex_;
  std::unique_ptr<RtAudio> audio_;  // kept across closes; dropped when opening fails

  // The voices and the mixing state, shared with the audio callback: held for list
  // and flag changes and by the callback while it mixes one period, never around a
  // call into the audio library.
  std::mutex mutex_;
  std::deque<Voice> voices_;  // oldest first
  unsigned streamRate_ = 0;
  Clock::time_point lastBusy_;
};

log4cpp::Category& category() { return log4cpp::Category::getInstance("<pianocorvida>"); }

uint32_t WavePlayer::open(const std::string& path) {
  auto sound = std::make_shared<WaveSound>();
  uint32_t code = readWaveFile(path, *sound);
  if (code != 0) return code;
  std::lock_guard<std::mutex> streamLock(streamMutex_);
  if (!openStream()) return kWaveNoDevice;
  std::lock_guard<std::mutex> lock(mutex_);
  if (voices_.size() >= kMaxVoices) return kWaveTooManyVoices;
  Voice voice;
  voice.path = path;
  voice.sound = std::move(sound);
  voices_.push_back(std::move(voice));
  lastBusy_ = Clock::now();
  return 0;
}

uint32_t WavePlayer::play(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto newest = std::find_if(voices_.rbegin(), voices_.rend(), [&](const Voice& voice) {
    return voice.path == path && !voice.started;
  });
  if (newest != voices_.rend()) {
    newest->started = true;
    lastBusy_ = Clock::now();
    return 0;
  }
  // Every voice of the path already plays (or played): like MCI, nothing to do.
  bool open = std::any_of(voices_.begin(), voices_.end(),
                          [&](const Voice& voice) { return voice.path == path; });
  if (!open) return kWaveNotOpen;
  return 0;
}

uint32_t WavePlayer::close(const std::string& path) {
  std::shared_ptr<const WaveSound> released;  // freed after the lock, not under it
  std::lock_guard<std::mutex> lock(mutex_);
  auto oldest = std::find_if(voices_.begin(), voices_.end(),
                             [&](const Voice& voice) { return voice.path == path; });
  if (oldest == voices_.end()) return kWaveNotOpen;
  released = std::move(oldest->sound);
  voices_.erase(oldest);
  return 0;
}

int WavePlayer::render(void* output, void*, unsigned int frames, double, RtAudioStreamStatus,
                       void* self) {
  static_cast<WavePlayer*>(self)->mix(static_cast<float*>(output), frames);
  return 0;
}

void WavePlayer::mix(float* output, unsigned int frames) {
  std::fill(output, output + frames * kChannels, 0.0f);
  std::lock_guard<std::mutex> lock(mutex_);
  for (Voice& voice : voices_) {
    if (!voice.sounding()) continue;
    // Linear interpolation: plain enough for spoken words and clicks.
    const std::vector<float>& samples = voice.sound->samples;
    const size_t last = voice.sound->frames() - 1;
    const double step = static_cast<double>(voice.sound->rate) / streamRate_;
    for (unsigned int i = 0; i < frames && voice.position <= last; ++i) {
      size_t at = static_cast<size_t>(voice.position);
      size_t next = at < last ? at + 1 : at;
      float fraction = static_cast<float>(voice.position - at);
      for (unsigned c = 0; c < kChannels; ++c) {
        float a = samples[at * kChannels + c];
        float b = samples[next * kChannels + c];
        output[i * kChannels + c] += a + (b - a) * fraction;
      }
      voice.position += step;
    }
  }
  for (unsigned int i = 0; i < frames * kChannels; ++i) {
    output[i] = std::max(-1.0f, std::min(1.0f, output[i]));
  }
}

bool WavePlayer::openStream() {
  if (audio_ && audio_->isStreamOpen()) return true;
  try {
    if (!audio_) audio_.reset(new RtAudio(audioApi()));
    if (audio_->getDeviceCount() < 1) throw RtAudioError("no audio output device");
    RtAudio::StreamParameters parameters;
    parameters.deviceId = audio_->getDefaultOutputDevice();
    parameters.nChannels = kChannels;
    parameters.firstChannel = 0;
    unsigned rate = audio_->getDeviceInfo(parameters.deviceId).preferredSampleRate;
    if (rate == 0) rate = kFallbackRate;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      streamRate_ = rate;
    }
    unsigned int bufferFrames = kBufferFrames;
    RtAudio::StreamOptions options;
    options.flags = RTAUDIO_MINIMIZE_LATENCY;
    options.streamName = kStreamName;
    audio_->openStream(&parameters, nullptr, RTAUDIO_FLOAT32, rate, &bufferFrames,
                       &WavePlayer::render, this, &options);
    audio_->startStream();
  } catch (const std::exception& error) {
    category().warn("[WavePlayer] no audio output: %s", error.what());
    if (audio_ && audio_->isStreamOpen()) audio_->closeStream();
    audio_.reset();  // the next open asks the system again: a server may have started
    return false;
  }
  std::thread([this] { closeWhenIdle(); }).detach();
  return true;
}

void WavePlayer::closeWhenIdle() {
  nameThread("wave idle close");
  while (true) {
    std::this_thread::sleep_for(kIdleCheckInterval);
    std::lock_guard<std::mutex> streamLock(streamMutex_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (busy()) lastBusy_ = Clock::now();
      if (Clock::now() - lastBusy_ < kIdleBeforeClose) continue;
    }
    // The audio library closes the stream itself when its server goes away.
    if (audio_ && audio_->isStreamOpen()) audio_->closeStream();
    return;
  }
}

bool WavePlayer::busy() const {
  return std::any_of(voices_.begin(), voices_.end(),
                     [](const Voice& voice) { return !voice.started || voice.sounding(); });
}

// Never destroyed: the process ends with endProcess while voices may still sound.
WavePlayer& player() {
  static WavePlayer* instance = new WavePlayer;
  return *instance;
}

}  // namespace

uint32_t waveOpen(const std::string& path) { return player().open(path); }
uint32_t wavePlay(const std::string& path) { return player().play(path); }
uint32_t waveClose(const std::string& path) { return player().close(path); }

}  // namespace platform
