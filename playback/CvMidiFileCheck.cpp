#include "playback/CvMidiFileCheck.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

bool refuse(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

uint32_t bigEndian(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// A variable-length quantity (delta time or length) that ends before end. The format
// allows at most 4 bytes; the reader would take any number and read on past the chunk.
bool readVariableLength(const std::string& bytes, size_t& at, size_t end, uint32_t* value) {
  *value = 0;
  for (int count = 0; count < 4 && at < end; ++count) {
    uint8_t byte = static_cast<uint8_t>(bytes[at++]);
    *value = (*value << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// The events of one track chunk, bytes [at, end), as the reader parses them: each must
// end inside the chunk, and the last must end where the chunk does.
bool checkEvents(const std::string& bytes, size_t at, size_t end, std::string* problem) {
  uint8_t runningStatus = 0;  // meta and SysEx events cancel it, as in the reader
  while (at < end) {
    const std::string where = "event at byte " + std::to_string(at);
    uint32_t delta = 0;
    if (!readVariableLength(bytes, at, end, &delta))
      return refuse(problem, where + ": delta time runs past its chunk or beyond 4 bytes");
    if (at == end) return refuse(problem, where + ": ends after its delta time");
    const uint8_t status = static_cast<uint8_t>(bytes[at++]);
    uint32_t length = 0;
    if (status == 0xFF || status == 0xF0 || status == 0xF7) {
      uint8_t type = 0;
      if (status == 0xFF) {
        if (at == end) return refuse(problem, where + ": meta event without a type");
        type = static_cast<uint8_t>(bytes[at++]);
      }
      if (!readVariableLength(bytes, at, end, &length))
        return refuse(problem, where + ": length runs past its chunk or beyond 4 bytes");
      // The reader takes three bytes from any tempo event of a format 0 or 2 file.
      if (status == 0xFF && type == 0x51 && length != 3)
        return refuse(problem, where + ": tempo event of length " + std::to_string(length));
      runningStatus = 0;
    } else if (status >= 0xF0) {
      char hex[3];
      std::snprintf(hex, sizeof(hex), "%02X", status);
      return refuse(problem, where + ": status byte " + hex + " has no place in a track");
    } else if (status & 0x80) {
      runningStatus = status;
      length = (status & 0xE0) == 0xC0 ? 1 : 2;  // program change and channel pressure
    } else if (runningStatus != 0) {
      length = (runningStatus & 0xE0) == 0xC0 ? 0 : 1;  // the byte read was data
    } else {
      return refuse(problem, where + ": data byte with no status before it");
    }
    if (length > end - at) return refuse(problem, where + ": runs past the end of its chunk");
    at += length;
  }
  return true;
}

}  // namespace

bool IsWellFormedMidiFile(const std::string& path, std::string* why) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return refuse(why, "cannot open " + path);
  // A file that cannot be read comes out empty, and is refused below.
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

  if (bytes.size() < 8 || bytes.compare(0, 4, "MThd") != 0)
    return refuse(why, "no \"MThd\" header chunk");
  const uint32_t headerLength = bigEndian(bytes, 4, 4);
  if (headerLength < 6 || headerLength > bytes.size() - 8)
    return refuse(why, "header chunk of length " + std::to_string(headerLength) + " in a file of " +
                           std::to_string(bytes.size()) + " bytes");
  const uint32_t format = bigEndian(bytes, 8, 2);
  const uint32_t tracks = bigEndian(bytes, 10, 2);
  const uint32_t division = bigEndian(bytes, 12, 2);
  if (format > 2) return refuse(why, "format " + std::to_string(format));
  // The reader crashes on no track, and takes a count of 32768 or more as negative.
  if (tracks == 0 || tracks > 0x7FFF || (format == 0 && tracks != 1))
    return refuse(
        why, std::to_string(tracks) + " tracks in a format " + std::to_string(format) + " file");
  // Ticks per quarter, or with the top bit set, frames per second and ticks per frame.
  if ((division & 0x8000 ? division & 0xFF : division) == 0)
    return refuse(why, "division of 0 ticks");

  size_t at = 8 + headerLength;
  for (uint32_t track = 0; track < tracks; ++track) {
    const std::string which = "track " + std::to_string(track);
    if (bytes.size() - at < 8 || bytes.compare(at, 4, "MTrk") != 0)
      return refuse(why, which + ": no \"MTrk\" chunk at byte " + std::to_string(at));
    const uint32_t length = bigEndian(bytes, at + 4, 4);
    at += 8;
    if (length > bytes.size() - at)
      return refuse(why, which + ": chunk of length " + std::to_string(length) +
                             " runs past the end of the file");
    std::string problem;
    if (!checkEvents(bytes, at, at + length, &problem)) return refuse(why, which + ": " + problem);
    at += length;
  }
  return true;
}
