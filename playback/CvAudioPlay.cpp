#include "playback/CvAudioPlay.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "service/CvLog.h"

namespace {

// The JACK client name of the stream.
const char* const kStreamName = "pianocorvida";
// A click is over long before its beat ends; a slow close must not cut it.
const std::chrono::milliseconds kLongestCloseLead{50};

struct StreamSource {
  std::FILE* file;
  int32_t channels;
  int32_t sampleRate;
  std::chrono::steady_clock::time_point soundAt;
  bool started = false;
  long silentFrames = 0;  // still to play before the file
};

// Frames of silence the first callback owes until the sound is due.
long SilenceBefore(const StreamSource& source) {
  auto early = source.soundAt - std::chrono::steady_clock::now();
  if (early <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<long>(std::chrono::duration<double>(early).count() * source.sampleRate);
}

// Reads the next frames of the file; past its end the stream gets silence. The stream
// keeps running until Play closes it: returning 1 to let the library drain and stop it
// would do the same for the ear, but RtAudio's JACK backend then stops the stream from
// a thread it never joins (about 9 MB of address space lost per click) and that thread
// may still run when Play closes the stream.
int ReadFrames(void* output, void*, unsigned int frameCount, double, RtAudioStreamStatus,
               void* userData) {
  StreamSource* source = static_cast<StreamSource*>(userData);
  const size_t frameBytes = static_cast<size_t>(source->channels) * 2;
  if (!source->started) {
    source->started = true;
    source->silentFrames = SilenceBefore(*source);
  }
  size_t silent = static_cast<size_t>(std::min<long>(source->silentFrames, frameCount));
  source->silentFrames -= static_cast<long>(silent);
  std::memset(output, 0, silent * frameBytes);
  char* rest = static_cast<char*>(output) + silent * frameBytes;
  size_t wanted = frameCount - silent;
  size_t read = wanted == 0 ? 0 : std::fread(rest, frameBytes, wanted, source->file);
  if (read < wanted) std::memset(rest + read * frameBytes, 0, (wanted - read) * frameBytes);
  return 0;
}

}  // namespace

CvAudioPlay::CvAudioPlay(const std::string& path) : path(path), audio(platform::audioApi()) {}

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
  if (audio.getDeviceCount() < 1) {
    cvlog::error("[CvAudioPlay] no audio device found");
    return;
  }
  parameters.deviceId = audio.getDefaultOutputDevice();
  parameters.nChannels = static_cast<unsigned int>(channels);
  parameters.firstChannel = static_cast<unsigned int>(firstChannel);
  StreamSource source{file, channels, sampleRate, soundAt};
  try {
    unsigned int frames = bufferFrames;  // the library writes back what it chose
    RtAudio::StreamOptions options;
    options.streamName = kStreamName;
    audio.openStream(&parameters, nullptr, RTAUDIO_SINT16, static_cast<unsigned int>(sampleRate),
                     &frames, &ReadFrames, &source, &options);
    audio.startStream();
    // Closing takes a JACK round trip or two: begin it early by what the last one
    // took, so the caller's beat does not stretch by it either.
    std::this_thread::sleep_until(end - closeTime_);
    const auto closing = std::chrono::steady_clock::now();
    audio.closeStream();
    closeTime_ = std::min<std::chrono::steady_clock::duration>(
        std::chrono::steady_clock::now() - closing, kLongestCloseLead);
    std::this_thread::sleep_until(end);
  } catch (const RtAudioError& error) {
    cvlog::error("[CvAudioPlay] error when playing audio file %s", error.getMessage());
    if (audio.isStreamOpen()) audio.closeStream();
  }
}
