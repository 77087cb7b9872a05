// The metronome's click on Windows: an RtAudio stream of its own per click on the
// default output, at the file's rate (the system's mixer converts), silent until the
// click's instant. Not built on Linux, where a test compiles it with the mingw-w64
// cross compiler.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <RtAudio.h>

#include "platform/platform.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

const unsigned int kChannels = 2;
const size_t kFrameBytes = kChannels * 2;

struct RawStream {
  RtAudio audio;
  std::vector<char> bytes;
  size_t position = 0;
  uint32_t rate = 0;
  Clock::time_point at;
  bool started = false;
  size_t silentFrames = 0;
};

int render(void* output, void*, unsigned int frames, double, RtAudioStreamStatus, void* data) {
  RawStream& stream = *static_cast<RawStream*>(data);
  if (!stream.started) {
    stream.started = true;
    auto early = stream.at - Clock::now();
    if (early > Clock::duration::zero()) {
      stream.silentFrames =
          static_cast<size_t>(std::chrono::duration<double>(early).count() * stream.rate);
    }
  }
  char* out = static_cast<char*>(output);
  size_t silent = stream.silentFrames < frames ? stream.silentFrames : frames;
  stream.silentFrames -= silent;
  std::memset(out, 0, silent * kFrameBytes);
  size_t wanted = (frames - silent) * kFrameBytes;
  size_t left = stream.bytes.size() - stream.position;
  size_t copied = wanted < left ? wanted : left;
  std::memcpy(out + silent * kFrameBytes, stream.bytes.data() + stream.position, copied);
  std::memset(out + silent * kFrameBytes + copied, 0, wanted - copied);
  stream.position += copied;
  return 0;
}

std::mutex g_mutex;
std::map<uint32_t, std::unique_ptr<RawStream>> g_streams;
uint32_t g_last_id = 0;

}  // namespace

uint32_t playRawSound(const RawSound& sound, uint32_t& id) {
  auto stream = std::make_unique<RawStream>();
  std::FILE* file = std::fopen(sound.path.c_str(), "rb");
  if (file == nullptr) return kWaveFileNotFound;
  char buffer[65536];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    stream->bytes.insert(stream->bytes.end(), buffer, buffer + read);
  }
  std::fclose(file);
  stream->bytes.resize(stream->bytes.size() / kFrameBytes * kFrameBytes);
  stream->rate = sound.rate;
  stream->at = sound.at;
  try {
    if (stream->audio.getDeviceCount() < 1) return kWaveNoDevice;
    RtAudio::StreamParameters parameters;
    parameters.deviceId = stream->audio.getDefaultOutputDevice();
    parameters.nChannels = kChannels;
    unsigned int frames = 256;
    stream->audio.openStream(&parameters, nullptr, RTAUDIO_SINT16, sound.rate, &frames, &render,
                             stream.get());
    stream->audio.startStream();
  } catch (const RtAudioError&) {
    return kWaveNoDevice;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  id = ++g_last_id;
  g_streams[id] = std::move(stream);
  return 0;
}

uint32_t stopRawSound(uint32_t id) {
  std::unique_ptr<RawStream> stream;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_streams.find(id);
    if (found == g_streams.end()) return kWaveNotOpen;
    stream = std::move(found->second);
    g_streams.erase(found);
  }
  try {
    stream->audio.closeStream();
  } catch (const RtAudioError&) {
  }
  return 0;
}

}  // namespace platform
