// A wave file read whole into memory, as the Linux wave player mixes it: the samples
// as floats in [-1, 1], two interleaved channels (a mono file is sent to both), at the
// file's own rate. Reads RIFF/WAVE files of PCM samples, 8 or 16 bits, mono or stereo,
// whatever other chunks they hold and in whatever order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct WaveSound {
  uint32_t rate = 0;           // frames per second
  std::vector<float> samples;  // left, right, left, right, ...

  size_t frames() const { return samples.size() / 2; }
};

// Reads path into sound; 0, or kWaveFileNotFound / kWaveInvalidFile (platform.h).
uint32_t readWaveFile(const std::string& path, WaveSound& sound);

}  // namespace platform
