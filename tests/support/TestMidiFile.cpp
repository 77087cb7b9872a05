#include "tests/support/TestMidiFile.h"

#include <cmath>

#include "tests/support/TestService.h"

namespace {

std::string bigEndian(uint32_t value, int size) {
  std::string bytes;
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
    bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
  return bytes;
}

// Seven bits a byte, most significant first, the high bit set on all but the last.
std::string variableLength(uint32_t value) {
  std::string bytes(1, static_cast<char>(value & 0x7F));
  for (value >>= 7; value != 0; value >>= 7)
    bytes.insert(bytes.begin(), static_cast<char>(0x80 | (value & 0x7F)));
  return bytes;
}

}  // namespace

void TestMidiFile::Track::delta(uint32_t ticks) { events_ += variableLength(ticks); }

void TestMidiFile::Track::put(std::initializer_list<int> bytes) {
  for (int byte : bytes) events_.push_back(static_cast<char>(byte));
}

TestMidiFile::Track& TestMidiFile::Track::message(uint32_t ticks, int status,
                                                  std::initializer_list<int> data) {
  delta(ticks);
  if (!runningStatus_ || status != lastStatus_) put({status});
  lastStatus_ = status;
  put(data);
  return *this;
}

TestMidiFile::Track& TestMidiFile::Track::noteOn(uint32_t ticks, int channel, int note,
                                                 int velocity) {
  return message(ticks, 0x90 | channel, {note, velocity});
}

TestMidiFile::Track& TestMidiFile::Track::noteOff(uint32_t ticks, int channel, int note,
                                                  int velocity) {
  return message(ticks, 0x80 | channel, {note, velocity});
}

TestMidiFile::Track& TestMidiFile::Track::controller(uint32_t ticks, int channel, int number,
                                                     int value) {
  return message(ticks, 0xB0 | channel, {number, value});
}

TestMidiFile::Track& TestMidiFile::Track::programChange(uint32_t ticks, int channel,
                                                        int program) {
  return message(ticks, 0xC0 | channel, {program});
}

TestMidiFile::Track& TestMidiFile::Track::pitchBend(uint32_t ticks, int channel, int value) {
  return message(ticks, 0xE0 | channel, {value & 0x7F, (value >> 7) & 0x7F});
}

TestMidiFile::Track& TestMidiFile::Track::meta(uint32_t ticks, int type,
                                               const std::string& data) {
  delta(ticks);
  put({0xFF, type});
  events_ += variableLength(static_cast<uint32_t>(data.size())) + data;
  lastStatus_ = 0;
  return *this;
}

TestMidiFile::Track& TestMidiFile::Track::tempo(uint32_t ticks, double beatsPerMinute) {
  auto microsecondsPerQuarter = static_cast<uint32_t>(std::lround(60e6 / beatsPerMinute));
  return meta(ticks, 0x51, bigEndian(microsecondsPerQuarter, 3));
}

TestMidiFile::Track& TestMidiFile::Track::text(uint32_t ticks, const std::string& text) {
  return meta(ticks, 0x01, text);
}

TestMidiFile::Track& TestMidiFile::Track::timeSignature(uint32_t ticks, int numerator,
                                                        int denominatorPower) {
  return meta(ticks, 0x58,
              {static_cast<char>(numerator), static_cast<char>(denominatorPower), 24, 8});
}

TestMidiFile::Track& TestMidiFile::Track::sysEx(uint32_t ticks, std::initializer_list<int> data) {
  delta(ticks);
  put({0xF0});
  events_ += variableLength(static_cast<uint32_t>(data.size() + 1));
  put(data);
  put({0xF7});
  lastStatus_ = 0;
  return *this;
}

TestMidiFile::Track& TestMidiFile::Track::raw(std::initializer_list<int> bytes) {
  put(bytes);
  return *this;
}

TestMidiFile::Track& TestMidiFile::Track::useRunningStatus(bool on) {
  runningStatus_ = on;
  return *this;
}

TestMidiFile::Track& TestMidiFile::Track::withoutEndOfTrack() {
  endOfTrack_ = false;
  return *this;
}

TestMidiFile::Track& TestMidiFile::Track::declaredLength(uint32_t length) {
  declaredLength_ = length;
  return *this;
}

std::string TestMidiFile::Track::bytes() const {
  std::string events = events_;
  if (endOfTrack_) events += std::string("\x00\xFF\x2F\x00", 4);
  uint32_t length = declaredLength_.value_or(static_cast<uint32_t>(events.size()));
  return "MTrk" + bigEndian(length, 4) + events;
}

TestMidiFile::TestMidiFile(int format, int division) : format_(format), division_(division) {}

int TestMidiFile::smpteDivision(int framesPerSecond, int ticksPerFrame) {
  // The high byte is minus the frame rate, in two's complement.
  return ((-framesPerSecond & 0xFF) << 8) | (ticksPerFrame & 0xFF);
}

TestMidiFile::Track& TestMidiFile::track() { return tracks_.emplace_back(); }

TestMidiFile& TestMidiFile::declaredTracks(int count) {
  declaredTracks_ = count;
  return *this;
}

std::string TestMidiFile::bytes() const {
  int count = declaredTracks_.value_or(static_cast<int>(tracks_.size()));
  std::string file = "MThd" + bigEndian(6, 4) + bigEndian(format_, 2) + bigEndian(count, 2) +
                     bigEndian(division_, 2);
  for (const Track& track : tracks_) file += track.bytes();
  return file;
}

void TestMidiFile::write(const std::string& path) const { writeFileBytes(path, bytes()); }
