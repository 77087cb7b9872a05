// The built-in synthesizer: MIDI output port 0 on Linux, which has no synthesizer of
// its own. FluidSynth plays the accompaniment with the system's General MIDI
// SoundFont, rendered period by period into the sound stream, so the learner hears
// the song through the PC's speakers as on Windows. Messages are queued for their
// instants: each period is rendered up to the frame of each message due in it.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fluidsynth.h>
#include <log4cpp/Category.hh>

#include "platform/linux/sound_stream.h"
#include "platform/platform.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Debian and Ubuntu choose their General MIDI SoundFont through the default-GM.sf2
// alternative; Fedora links default.sf2.
const char* const kSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",   "/usr/share/soundfonts/default.sf2",
    "/usr/share/soundfonts/FluidR3_GM.sf2",
};
// Loud enough beside the words, with headroom for a full arrangement.
const double kGain = 0.5;
const unsigned int kScratchFrames = 1024;
const int kChannelCount = 16;
const int kSustainPedal = 64;
// FluidSynth renders in blocks of this many frames and applies a message at the start
// of the next one it renders.
const uint64_t kSynthBlock = 64;
// Messages waiting for their instants: a few seconds of a dense song; past that a
// message is played at once.
const size_t kMaxQueued = 4096;

log4cpp::Category& category() { return log4cpp::Category::getInstance("<pianocorvida>"); }

void logFluidMessage(int level, const char* message, void*) {
  if (level <= FLUID_ERR) {
    category().error("[BuiltInSynthesizer] %s", message);
  } else {
    category().warn("[BuiltInSynthesizer] %s", message);
  }
}

struct FluidDeleter {
  void operator()(fluid_synth_t* synth) const { delete_fluid_synth(synth); }
  void operator()(fluid_settings_t* settings) const { delete_fluid_settings(settings); }
};

// A synthesizer with its settings, made for one rate.
struct Synthesizer {
  std::unique_ptr<fluid_settings_t, FluidDeleter> settings;
  std::unique_ptr<fluid_synth_t, FluidDeleter> synth;
  unsigned int rate = 0;
  uint64_t rendered = 0;  // frames rendered since it was made: its blocks start at 64 n
};

struct QueuedMessage {
  std::vector<unsigned char> bytes;
  Clock::time_point at;
};

class BuiltInSynth : public SoundSource {
 public:
  BuiltInSynth() {
    fluid_set_log_function(FLUID_PANIC, logFluidMessage, nullptr);
    fluid_set_log_function(FLUID_ERR, logFluidMessage, nullptr);
    fluid_set_log_function(FLUID_WARN, logFluidMessage, nullptr);
    fluid_set_log_function(FLUID_INFO, nullptr, nullptr);
    fluid_set_log_function(FLUID_DBG, nullptr, nullptr);
    scratch_.resize(kScratchFrames * 2);
    SoundStream::instance().add(this);
  }

  bool installed();
  bool open();
  void send(const unsigned char* message, size_t size, Clock::time_point at);
  void close();

  void mixInto(float* output, unsigned int frames, unsigned int rate,
               Clock::time_point startsAt) override;
  bool busy() override;

 private:
  std::unique_ptr<Synthesizer> make(const std::string& soundFont, unsigned int rate);
  void play(const std::vector<unsigned char>& message);  // mutex_ held
  // Renders up to frame `until` of the synthesizer into output, whose frame 0 is its
  // frame blockStart; mutex_ held.
  void renderTo(uint64_t until, uint64_t blockStart, float* output);

  std::mutex findMutex_;  // the search; taken before mutex_, never by the audio thread
  std::string soundFont_;  // the file found, empty while none is
  bool warned_ = false;

  // The synthesizer, shared with the audio thread, which renders under it; every
  // message is played under it too.
  std::mutex mutex_;
  std::unique_ptr<Synthesizer> current_;
  bool open_ = false;
  std::deque<QueuedMessage> queue_;  // in the order sent
  std::vector<float> scratch_;
};

bool BuiltInSynth::installed() {
  std::lock_guard<std::mutex> lock(findMutex_);
  if (!soundFont_.empty()) return true;
  for (const char* path : kSoundFonts) {
    if (access(path, R_OK) == 0) {
      soundFont_ = path;
      category().info("[BuiltInSynthesizer] MIDI output port 0 is the built-in synthesizer, "
                      "with the SoundFont %s",
                      path);
      return true;
    }
  }
  if (!warned_) {
    warned_ = true;
    category().warn("[BuiltInSynthesizer] no General MIDI SoundFont in /usr/share/sounds/sf2 "
                    "or /usr/share/soundfonts: install one (Debian and Ubuntu: apt install "
                    "fluid-soundfont-gm; Fedora: dnf install fluid-soundfont-gm) to hear the "
                    "accompaniment through the sound output. Until then it goes to the first "
                    "MIDI destination that is not a through port");
  }
  return false;
}

std::unique_ptr<Synthesizer> BuiltInSynth::make(const std::string& soundFont, unsigned int rate) {
  auto made = std::make_unique<Synthesizer>();
  made->rate = rate;
  made->settings.reset(new_fluid_settings());
  if (!made->settings) return nullptr;
  fluid_settings_t* settings = made->settings.get();
  fluid_settings_setnum(settings, "synth.sample-rate", rate);
  fluid_settings_setnum(settings, "synth.gain", kGain);
  fluid_settings_setint(settings, "synth.threadsafe-api", 0);  // mutex_ serialises every call
  made->synth.reset(new_fluid_synth(settings));
  if (!made->synth) return nullptr;
  if (fluid_synth_sfload(made->synth.get(), soundFont.c_str(), 1) == FLUID_FAILED) {
    category().error("[BuiltInSynthesizer] the SoundFont %s does not load", soundFont.c_str());
    return nullptr;
  }
  return made;
}

bool BuiltInSynth::open() {
  if (!installed()) return false;
  unsigned int rate = SoundStream::instance().acquire();
  if (rate == 0) return false;
  std::string soundFont;
  {
    std::lock_guard<std::mutex> lock(findMutex_);
    soundFont = soundFont_;
  }
  bool current;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current = current_ && current_->rate == rate;
  }
  if (!current) {
    // Loading takes a while: not under the lock the audio thread renders under.
    std::unique_ptr<Synthesizer> made = make(soundFont, rate);
    if (!made) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(current_, made);  // the old one is freed after the lock, with made
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // Each performance starts from the General MIDI defaults, not the last song's.
  fluid_synth_system_reset(current_->synth.get());
  open_ = true;
  return true;
}

void BuiltInSynth::send(const unsigned char* message, size_t size, Clock::time_point at) {
  if (size == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) return;
  if (queue_.size() >= kMaxQueued) {
    play(queue_.front().bytes);
    queue_.pop_front();
  }
  queue_.push_back(QueuedMessage{std::vector<unsigned char>(message, message + size), at});
}

void BuiltInSynth::play(const std::vector<unsigned char>& message) {
  fluid_synth_t* synth = current_->synth.get();
  const size_t size = message.size();
  const int channel = message[0] & 0x0F;
  const int data1 = size > 1 ? message[1] & 0x7F : 0;
  const int data2 = size > 2 ? message[2] & 0x7F : 0;
  switch (message[0] & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth, channel, data1); break;
    case 0x90: fluid_synth_noteon(synth, channel, data1, data2); break;  // 0: a note off
    case 0xA0: fluid_synth_key_pressure(synth, channel, data1, data2); break;
    case 0xB0: fluid_synth_cc(synth, channel, data1, data2); break;
    case 0xC0: fluid_synth_program_change(synth, channel, data1); break;
    case 0xD0: fluid_synth_channel_pressure(synth, channel, data1); break;
    case 0xE0: fluid_synth_pitch_bend(synth, channel, data1 | (data2 << 7)); break;
    case 0xF0:
      // A whole SysEx (F0 ... F7): the synthesizer takes what lies between.
      if (message[0] == 0xF0 && size >= 2 && message[size - 1] == 0xF7) {
        fluid_synth_sysex(synth, reinterpret_cast<const char*>(message.data() + 1),
                          static_cast<int>(size - 2), nullptr, nullptr, nullptr, 0);
      }
      break;
    default: break;
  }
}

void BuiltInSynth::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  queue_.clear();
  if (!current_) return;
  // Every note ends, held by the pedal or not; their release still sounds.
  for (int channel = 0; channel < kChannelCount; ++channel) {
    fluid_synth_cc(current_->synth.get(), channel, kSustainPedal, 0);
  }
  fluid_synth_all_notes_off(current_->synth.get(), -1);
}

void BuiltInSynth::renderTo(uint64_t until, uint64_t blockStart, float* output) {
  Synthesizer& current = *current_;
  while (current.rendered < until) {
    unsigned int count =
        static_cast<unsigned int>(std::min<uint64_t>(until - current.rendered, kScratchFrames));
    float* scratch = scratch_.data();
    fluid_synth_write_float(current.synth.get(), static_cast<int>(count), scratch, 0, 2, scratch,
                            1, 2);
    float* into = output + (current.rendered - blockStart) * 2;
    for (unsigned int i = 0; i < count * 2; ++i) into[i] += scratch[i];
    current.rendered += count;
  }
}

void BuiltInSynth::mixInto(float* output, unsigned int frames, unsigned int rate,
                           Clock::time_point startsAt) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A stream opened anew at another rate is silent here until the next open.
  if (!current_ || current_->rate != rate) return;
  const uint64_t blockStart = current_->rendered;
  const uint64_t blockEnd = blockStart + frames;
  while (!queue_.empty()) {
    // The message's frame, moved to the nearest start of one of the synthesizer's own
    // blocks (where it takes effect), so its sound starts within half a block of it.
    double ahead = std::chrono::duration<double>(queue_.front().at - startsAt).count() * rate;
    uint64_t frame = blockStart + static_cast<uint64_t>(std::llround(std::max(ahead, 0.0)));
    uint64_t takesEffect = (frame + kSynthBlock / 2) / kSynthBlock * kSynthBlock;
    if (takesEffect >= blockEnd) break;  // due in a later period
    renderTo(std::max(takesEffect, current_->rendered), blockStart, output);
    play(queue_.front().bytes);
    queue_.pop_front();
  }
  renderTo(blockEnd, blockStart, output);
}

bool BuiltInSynth::busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ || !queue_.empty() ||
         (current_ && fluid_synth_get_active_voice_count(current_->synth.get()) > 0);
}

// Never destroyed: the process ends while it may still sound.
BuiltInSynth& synthesizer() {
  static BuiltInSynth* instance = new BuiltInSynth;
  return *instance;
}

}  // namespace

bool builtInSynthesizerInstalled() { return synthesizer().installed(); }
bool builtInSynthesizerOpen() { return synthesizer().open(); }
void builtInSynthesizerSend(const unsigned char* message, uint32_t size, const SoundInstant& when) {
  synthesizer().send(message, size, when.at);
}
void builtInSynthesizerClose() { synthesizer().close(); }

}  // namespace platform
