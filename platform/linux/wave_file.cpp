#include "platform/linux/wave_file.h"

#include <cstdio>
#include <cstring>

#include <samplerate.h>

#include "platform/platform.h"

namespace platform {

namespace {

const uint16_t kFormatPcm = 1;
const uint16_t kFormatExtensible = 0xFFFE;  // its sub-format then says PCM or not
const uint32_t kHighestRate = 384000;
const size_t kLargestFile = 64 << 20;  // words and clicks are small; memory stays bounded

uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Format {
  uint32_t channels = 0;
  uint32_t rate = 0;
  uint32_t bits = 0;
};

bool readFormat(const unsigned char* chunk, size_t size, Format& format) {
  if (size < 16) return false;
  uint32_t tag = le16(chunk);
  if (tag == kFormatExtensible) {
    if (size < 40) return false;
    tag = le16(chunk + 24);  // the first two bytes of the sub-format GUID
  }
  format.channels = le16(chunk + 2);
  format.rate = le32(chunk + 4);
  format.bits = le16(chunk + 14);
  uint32_t blockAlign = le16(chunk + 12);
  return tag == kFormatPcm && (format.channels == 1 || format.channels == 2) &&
         (format.bits == 8 || format.bits == 16) && format.rate > 0 &&
         format.rate <= kHighestRate && blockAlign == format.channels * format.bits / 8;
}

float sampleAt(const unsigned char* p, uint32_t bits) {
  if (bits == 8) return (static_cast<int>(p[0]) - 128) / 128.0f;  // 8-bit is unsigned
  return static_cast<int16_t>(le16(p)) / 32768.0f;
}

// Reads at most one byte past kLargestFile; false when the file cannot be read.
bool readBytes(const std::string& path, std::vector<unsigned char>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char buffer[65536];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0 &&
         bytes.size() <= kLargestFile) {
    bytes.insert(bytes.end(), buffer, buffer + read);
  }
  bool failed = std::ferror(file) != 0;  // a folder opens, then cannot be read
  std::fclose(file);
  return !failed;
}

}  // namespace

uint32_t readRawFile(const std::string& path, uint32_t rate, WaveSound& sound) {
  std::vector<unsigned char> bytes;
  if (!readBytes(path, bytes) || bytes.size() > kLargestFile) return kWaveFileNotFound;
  const size_t frames = bytes.size() / 4;
  sound.rate = rate;
  sound.samples.resize(frames * 2);
  for (size_t i = 0; i < frames * 2; ++i) sound.samples[i] = sampleAt(&bytes[2 * i], 16);
  return 0;
}

void convertRate(WaveSound& sound, uint32_t rate) {
  if (sound.rate == rate || sound.rate == 0 || sound.frames() == 0) return;
  const double ratio = static_cast<double>(rate) / sound.rate;
  std::vector<float> converted(static_cast<size_t>(sound.frames() * ratio + 2) * 2);
  SRC_DATA data{};
  data.data_in = sound.samples.data();
  data.input_frames = static_cast<long>(sound.frames());
  data.data_out = converted.data();
  data.output_frames = static_cast<long>(converted.size() / 2);
  data.src_ratio = ratio;
  if (src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 2) != 0) return;  // plays at its own rate
  converted.resize(static_cast<size_t>(data.output_frames_gen) * 2);
  sound.samples.swap(converted);
  sound.rate = rate;
}

uint32_t readWaveFile(const std::string& path, WaveSound& sound) {
  std::vector<unsigned char> bytes;
  if (!readBytes(path, bytes)) return kWaveFileNotFound;
  if (bytes.size() > kLargestFile || bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return kWaveInvalidFile;
  }

  Format format;
  bool haveFormat = false;
  const unsigned char* data = nullptr;
  size_t dataSize = 0;
  size_t offset = 12;
  while (offset + 8 <= bytes.size()) {
    const unsigned char* chunk = bytes.data() + offset + 8;
    size_t size = le32(bytes.data() + offset + 4);
    size_t available = bytes.size() - offset - 8;
    if (std::memcmp(bytes.data() + offset, "fmt ", 4) == 0) {
      if (size > available || !readFormat(chunk, size, format)) return kWaveInvalidFile;
      haveFormat = true;
    } else if (std::memcmp(bytes.data() + offset, "data", 4) == 0) {
      data = chunk;
      dataSize = size < available ? size : available;  // a cut-off recording plays what it has
    }
    offset += 8 + size + (size & 1);  // chunks are padded to an even length
  }
  if (!haveFormat || data == nullptr) return kWaveInvalidFile;

  const uint32_t frameBytes = format.channels * format.bits / 8;
  const size_t frames = dataSize / frameBytes;
  sound.rate = format.rate;
  sound.samples.resize(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const unsigned char* frame = data + i * frameBytes;
    float left = sampleAt(frame, format.bits);
    float right = format.channels == 2 ? sampleAt(frame + format.bits / 8, format.bits) : left;
    sound.samples[2 * i] = left;
    sound.samples[2 * i + 1] = right;
  }
  return 0;
}

}  // namespace platform
