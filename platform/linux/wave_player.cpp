// Linux wave player behind waveOpen / wavePlay / waveClose, and the metronome's click
// behind playRawSound / stopRawSound: every voice is mixed into the sound stream. A
// sound is read and converted to the stream's rate once and kept (the count-off words
// and the click come back at every tick and beat), so a word starts within one audio
// period of its play command, and a word or click queued for an instant on the frame
// heard then.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <sys/stat.h>

#include "platform/linux/sound_stream.h"
#include "platform/linux/wave_file.h"
#include "platform/platform.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

const unsigned kChannels = 2;
const size_t kMaxVoices = 64;
const size_t kMaxLoaded = 64;

struct Voice {
  std::string path;  // empty for a click, which is known by its id
  uint32_t id = 0;
  std::shared_ptr<const WaveSound> sound;
  bool started = false;
  Clock::time_point startAt{};  // its first frame is heard then, or at once when past
  double position = 0;          // in frames of the sound

  bool sounding() const { return started && position < sound->frames(); }
};

class WavePlayer : public SoundSource {
 public:
  WavePlayer() { SoundStream::instance().add(this); }

  uint32_t open(const std::string& path);
  uint32_t play(const std::string& path, Clock::time_point at);
  uint32_t close(const std::string& path);
  uint32_t playRaw(const RawSound& raw, uint32_t& id);
  uint32_t stopRaw(uint32_t id);

  void mixInto(float* output, unsigned int frames, unsigned int rate,
               Clock::time_point startsAt) override;
  bool busy() override;

 private:
  // The sound of path (a raw file at rawRate, or a wave file when rawRate is 0) at the
  // running stream's rate, read and converted at its first use; 0 or a WaveError.
  uint32_t load(const std::string& path, uint32_t rawRate,
                std::shared_ptr<const WaveSound>& loaded);
  uint32_t add(Voice voice);

  // Sounds loaded so far, by file (its path, size and change time), kind and rate.
  std::mutex loadedMutex_;  // never held with mutex_
  std::map<std::string, std::shared_ptr<const WaveSound>> loaded_;

  // The voices, shared with the audio thread: held for list and flag changes and while
  // one period is mixed, never around a call into the audio library.
  std::mutex mutex_;
  std::deque<Voice> voices_;  // oldest first
  uint32_t lastId_ = 0;
};

uint32_t WavePlayer::load(const std::string& path, uint32_t rawRate,
                          std::shared_ptr<const WaveSound>& loaded) {
  struct stat file;
  if (stat(path.c_str(), &file) != 0) return kWaveFileNotFound;
  unsigned int rate = SoundStream::instance().acquire();
  const std::string key = path + '\n' + std::to_string(file.st_size) + ' ' +
                          std::to_string(file.st_mtim.tv_sec) + '.' +
                          std::to_string(file.st_mtim.tv_nsec) + ' ' +
                          std::to_string(rawRate) + ' ' + std::to_string(rate);
  if (rate != 0) {
    std::lock_guard<std::mutex> lock(loadedMutex_);
    auto found = loaded_.find(key);
    if (found != loaded_.end()) {
      loaded = found->second;
      return 0;
    }
  }
  auto sound = std::make_shared<WaveSound>();
  uint32_t code = rawRate != 0 ? readRawFile(path, rawRate, *sound) : readWaveFile(path, *sound);
  if (code != 0) return code;
  if (rate == 0) return kWaveNoDevice;
  convertRate(*sound, rate);
  std::lock_guard<std::mutex> lock(loadedMutex_);
  if (loaded_.size() >= kMaxLoaded) loaded_.clear();  // files the tests make; bounded
  loaded_[key] = sound;
  loaded = std::move(sound);
  return 0;
}

uint32_t WavePlayer::add(Voice voice) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (voices_.size() >= kMaxVoices) return kWaveTooManyVoices;
  voices_.push_back(std::move(voice));
  return 0;
}

uint32_t WavePlayer::open(const std::string& path) {
  Voice voice;
  voice.path = path;
  uint32_t code = load(path, 0, voice.sound);
  return code != 0 ? code : add(std::move(voice));
}

uint32_t WavePlayer::play(const std::string& path, Clock::time_point at) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto newest = std::find_if(voices_.rbegin(), voices_.rend(), [&](const Voice& voice) {
    return voice.path == path && !voice.started;
  });
  if (newest != voices_.rend()) {
    newest->started = true;
    newest->startAt = at;
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
  auto oldest = std::find_if(voices_.begin(), voices_.end(), [&](const Voice& voice) {
    return !voice.path.empty() && voice.path == path;
  });
  if (oldest == voices_.end()) return kWaveNotOpen;
  released = std::move(oldest->sound);
  voices_.erase(oldest);
  return 0;
}

uint32_t WavePlayer::playRaw(const RawSound& raw, uint32_t& id) {
  Voice voice;
  uint32_t code = load(raw.path, raw.rate, voice.sound);
  if (code != 0) return code;
  voice.started = true;
  voice.startAt = raw.at;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    voice.id = id = ++lastId_;
  }
  return add(std::move(voice));
}

uint32_t WavePlayer::stopRaw(uint32_t id) {
  std::shared_ptr<const WaveSound> released;
  std::lock_guard<std::mutex> lock(mutex_);
  auto voice = std::find_if(voices_.begin(), voices_.end(), [&](const Voice& candidate) {
    return candidate.path.empty() && candidate.id == id;
  });
  if (voice == voices_.end()) return kWaveNotOpen;
  released = std::move(voice->sound);
  voices_.erase(voice);
  return 0;
}

void WavePlayer::mixInto(float* output, unsigned int frames, unsigned int rate,
                         Clock::time_point startsAt) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Voice& voice : voices_) {
    if (!voice.sounding()) continue;
    unsigned int first = 0;
    if (voice.position == 0 && voice.startAt > startsAt) {
      // Not due yet, or due within this period: it begins on the frame of its instant.
      double ahead = std::chrono::duration<double>(voice.startAt - startsAt).count() * rate;
      if (ahead >= frames) continue;
      first = static_cast<unsigned int>(ahead);
    }
    // A sound loaded at another rate than the stream's (the stream was opened anew since)
    // is stepped through with linear interpolation; otherwise frames are copied.
    const std::vector<float>& samples = voice.sound->samples;
    const size_t last = voice.sound->frames() - 1;
    const double step = static_cast<double>(voice.sound->rate) / rate;
    for (unsigned int i = first; i < frames && voice.position <= last; ++i) {
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
}

bool WavePlayer::busy() {
  std::lock_guard<std::mutex> lock(mutex_);
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
uint32_t wavePlay(const std::string& path) { return player().play(path, Clock::time_point()); }
uint32_t wavePlayAt(const std::string& path, const SoundInstant& when) {
  return player().play(path, when.at);
}
uint32_t soundOutputLatencyMicroseconds() { return SoundStream::instance().latencyMicroseconds(); }
uint32_t waveClose(const std::string& path) { return player().close(path); }

uint32_t playRawSound(const RawSound& sound, uint32_t& id) { return player().playRaw(sound, id); }
uint32_t stopRawSound(uint32_t id) { return player().stopRaw(id); }

}  // namespace platform
