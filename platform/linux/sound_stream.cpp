#include "platform/linux/sound_stream.h"

#include <algorithm>
#include <thread>

#include <log4cpp/Category.hh>

#include "platform/linux/sound_output.h"
#include "platform/platform.h"

namespace platform {

namespace {

const unsigned int kChannels = 2;
const unsigned int kBufferFrames = 256;  // a request: JACK uses its own period
const char* const kStreamName = "pianocorvida";
const std::chrono::seconds kIdleBeforeClose{3};
const std::chrono::milliseconds kIdleCheckInterval{250};
// A running stream not served for this long (and several periods) has stopped.
const std::chrono::milliseconds kStallTime{500};


log4cpp::Category& category() { return log4cpp::Category::getInstance("<pianocorvida>"); }

}  // namespace

SoundStream& SoundStream::instance() {
  static SoundStream* stream = new SoundStream;
  return *stream;
}

void SoundStream::add(SoundSource* source) {
  std::lock_guard<std::mutex> lock(sourcesMutex_);
  sources_.push_back(source);
}

int SoundStream::render(void* output, void*, unsigned int frames, double, RtAudioStreamStatus,
                        void* self) {
  SoundStream& stream = *static_cast<SoundStream*>(self);
  float* samples = static_cast<float*>(output);
  std::fill(samples, samples + frames * kChannels, 0.0f);
  const Clock::time_point now = Clock::now();
  stream.lastServed_.store(now.time_since_epoch().count());
  stream.clock_.setLatency(stream.latencyFrames_.load());
  const Clock::time_point heardAt = stream.clock_.nextFrameHeardAt(now);
  {
    std::lock_guard<std::mutex> lock(stream.sourcesMutex_);
    for (SoundSource* source : stream.sources_) {
      source->mixInto(samples, frames, stream.rate_, heardAt);
    }
  }
  stream.clock_.rendered(frames);
  for (unsigned int i = 0; i < frames * kChannels; ++i) {
    samples[i] = std::max(-1.0f, std::min(1.0f, samples[i]));
  }
  return 0;
}

uint32_t SoundStream::latencyMicroseconds() const {
  unsigned int rate = rate_;
  return rate == 0 ? 0 : static_cast<uint32_t>(uint64_t{latencyFrames_.load()} * 1000000 / rate);
}

void SoundStream::onError(RtAudioError::Type type, const std::string& text) {
  // Called by the audio library on its own threads, or inside its calls made under
  // streamMutex_: the text is kept for the WARN line of a stream that stopped.
  (void)type;
  SoundStream& stream = instance();
  std::lock_guard<std::mutex> lock(stream.errorMutex_);
  stream.lastError_ = text;
}

std::string SoundStream::takeLastError() {
  std::lock_guard<std::mutex> lock(errorMutex_);
  std::string text = lastError_.empty() ? "no error given" : lastError_;
  lastError_.clear();
  return text;
}

bool SoundStream::stalled() const {
  const Clock::time_point now = Clock::now();
  const Clock::duration limit = std::max<Clock::duration>(kStallTime, 8 * period_);
  const Clock::time_point served{Clock::duration(lastServed_.load())};
  return now - opened_ > limit && now - served > limit;
}

void SoundStream::closeStream() {
  try {
    if (audio_ && audio_->isStreamOpen()) audio_->closeStream();
  } catch (const std::exception& error) {
    category().warn("[SoundOutput] closing the sound output: %s", error.what());
  }
  audio_.reset();  // the next opening asks the system again
}

unsigned int SoundStream::acquire() {
  std::lock_guard<std::mutex> lock(streamMutex_);
  if (audio_ && audio_->isStreamOpen()) {
    if (!stalled()) return rate_;
    category().warn("[SoundOutput] the sound output stopped playing (%s): opening it again",
                    takeLastError().c_str());
    closeStream();
  } else if (audio_) {
    // The audio library closed it itself: its server went away.
    category().warn("[SoundOutput] the sound output was closed (%s): opening it again",
                    takeLastError().c_str());
    audio_.reset();
  }
  takeLastError();

  SoundOutput output = chooseSoundOutput();
  if (output.api == RtAudio::UNSPECIFIED || output.rate == 0) return 0;
  try {
    audio_.reset(new RtAudio(output.api));
    RtAudio::StreamParameters parameters;
    if (!findOutputDevice(*audio_, output, parameters.deviceId)) {
      throw RtAudioError("no audio output device");
    }
    parameters.nChannels = kChannels;
    unsigned int bufferFrames = kBufferFrames;
    RtAudio::StreamOptions options;
    options.flags = RTAUDIO_MINIMIZE_LATENCY;
    options.streamName = kStreamName;
    rate_ = output.rate;
    period_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bufferFrames) / rate_));
    audio_->openStream(&parameters, nullptr, RTAUDIO_FLOAT32, rate_, &bufferFrames,
                       &SoundStream::render, this, &options, &SoundStream::onError);
    period_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bufferFrames) / rate_));
    opened_ = Clock::now();
    unsigned int latency = static_cast<unsigned int>(std::max(0L, audio_->getStreamLatency()));
    latencyFrames_.store(latency);
    clock_.start(rate_, bufferFrames, latency);
    audio_->startStream();
    if (output.api == RtAudio::LINUX_PULSE) {
      // RtAudio's Pulse streams report no latency: the server says what it buffers.
      if (pulseStreamLatency(kStreamName, rate_, latency)) latencyFrames_.store(latency);
    }
    category().info("[SoundOutput] stream open: %u Hz, %u frames per period, output latency %u frames (%.1f ms)",
                    rate_, bufferFrames, latency, 1000.0 * latency / rate_);
  } catch (const std::exception& error) {
    category().warn("[SoundOutput] no audio output: %s", error.what());
    closeStream();
    return 0;
  }
  if (!closer_) {
    closer_ = true;
    std::thread([this] { closeWhenIdle(); }).detach();
  }
  return rate_;
}

void SoundStream::closeWhenIdle() {
  nameThread("sound idle close");
  Clock::time_point lastBusy = Clock::now();
  while (true) {
    std::this_thread::sleep_for(kIdleCheckInterval);
    std::lock_guard<std::mutex> streamLock(streamMutex_);
    bool busy = false;
    {
      std::lock_guard<std::mutex> lock(sourcesMutex_);
      for (SoundSource* source : sources_) busy = source->busy() || busy;
    }
    if (busy) lastBusy = Clock::now();
    if (Clock::now() - lastBusy < kIdleBeforeClose) continue;
    closeStream();
    closer_ = false;
    return;
  }
}

}  // namespace platform
