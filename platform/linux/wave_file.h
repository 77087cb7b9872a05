// A sound read whole into memory, as the Linux sound output mixes it: the samples as
// floats in [-1, 1], two interleaved channels (a mono file is sent to both), at the
// file's own rate until converted. Reads RIFF/WAVE files of PCM samples, 8 or 16 bits,
// mono or stereo, whatever other chunks they hold and in whatever order; and raw files
// (the metronome's click), whose every byte is sound.
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

// Reads the bytes of path, from the first (a header too), as interleaved signed 16-bit
// little-endian stereo frames at rate; 0 or kWaveFileNotFound.
uint32_t readRawFile(const std::string& path, uint32_t rate, WaveSound& sound);

// Converts sound to rate with a band-limited converter, so it is converted once, when
// loaded, and the mixer copies frames one for one.
void convertRate(WaveSound& sound, uint32_t rate);

}  // namespace platform
