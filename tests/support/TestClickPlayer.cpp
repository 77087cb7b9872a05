#include "tests/support/TestClickPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

const char* const TestClickPlayer::kClientName = "test clicks";

namespace {

const unsigned int kChannels = 2;
const double kToneHz = 1000.0;
const unsigned int kBufferFrames = 256;
const double kClickDecays = 5.0;  // decay times in a click

}  // namespace

TestClickPlayer::TestClickPlayer(RtAudio::Api api, uint32_t rate, float level,
                                 std::chrono::milliseconds decay)
    : api_(api),
      rate_(rate),
      level_(level),
      decayFrames_(decay.count() * rate / 1000.0),
      streamClock_(api == RtAudio::LINUX_PULSE) {
  voices_.reserve(64);  // no allocation on the sound system's thread
}

TestClickPlayer::~TestClickPlayer() {
  if (!audio_) return;
  try {
    if (audio_->isStreamRunning()) audio_->stopStream();
    if (audio_->isStreamOpen()) audio_->closeStream();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "click player: %s\n", error.what());
  }
}

bool TestClickPlayer::start() {
  try {
    audio_ = std::make_unique<RtAudio>(api_);
    if (audio_->getDeviceCount() < 1) throw std::runtime_error("no output device");
    RtAudio::StreamParameters parameters;
    parameters.deviceId = audio_->getDefaultOutputDevice();
    parameters.nChannels = kChannels;
    RtAudio::StreamOptions options;
    options.flags = RTAUDIO_MINIMIZE_LATENCY;
    options.streamName = kClientName;
    unsigned int frames = kBufferFrames;
    audio_->openStream(&parameters, nullptr, RTAUDIO_FLOAT32, rate_, &frames,
                       &TestClickPlayer::render, this, &options);
    audio_->startStream();
    return true;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "click player could not start: %s\n", error.what());
    return false;
  }
}

void TestClickPlayer::play(const std::vector<Clock::time_point>& instants) {
  std::lock_guard<std::mutex> lock(mutex_);
  due_.insert(due_.end(), instants.begin(), instants.end());
}

std::vector<TestClickPlayer::Clock::time_point> TestClickPlayer::played() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return played_;
}

// The sound system's thread. A click due inside the buffer starts at its place there,
// one already due (a late wake) at the buffer's first frame.
int TestClickPlayer::render(void* output, void*, unsigned int frames, double,
                            RtAudioStreamStatus, void* self) {
  TestClickPlayer* player = static_cast<TestClickPlayer*>(self);
  float* samples = static_cast<float*>(output);
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          Clock::now().time_since_epoch())
                          .count();
  const uint64_t clickFrames = static_cast<uint64_t>(kClickDecays * player->decayFrames_);
  const auto frameNs = [&](uint64_t count) {
    return static_cast<int64_t>(count * 1000000000ull / player->rate_);
  };
  std::lock_guard<std::mutex> lock(player->mutex_);
  int64_t bufferStart = now;
  if (player->streamClock_) {
    const int64_t estimate = now - frameNs(player->written_);
    if (estimate < player->anchor_) {
      // This callback came earlier for its place in the stream than any before it.
      if (player->anchor_ != INT64_MAX) {
        for (Clock::time_point& start : player->played_) {
          start -= std::chrono::nanoseconds(player->anchor_ - estimate);
        }
      }
      player->anchor_ = estimate;
    }
    bufferStart = player->anchor_ + frameNs(player->written_);
  }
  player->written_ += frames;
  for (unsigned int i = 0; i < frames; ++i) {
    const Clock::time_point at(std::chrono::nanoseconds(bufferStart + frameNs(i)));
    if (!player->due_.empty() && player->due_.front() <= at) {
      player->due_.erase(player->due_.begin());
      player->played_.push_back(at);
      player->voices_.push_back(0);
    }
    float value = 0.0f;
    for (uint64_t& voice : player->voices_) {
      const double t = static_cast<double>(voice++);
      value += static_cast<float>(player->level_ * std::exp(-t / player->decayFrames_) *
                                  std::cos(2.0 * M_PI * kToneHz * t / player->rate_));
    }
    player->voices_.erase(std::remove_if(player->voices_.begin(), player->voices_.end(),
                                         [&](uint64_t voice) { return voice >= clickFrames; }),
                          player->voices_.end());
    for (unsigned int c = 0; c < kChannels; ++c) samples[i * kChannels + c] = value;
  }
  return 0;
}
