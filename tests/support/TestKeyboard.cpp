#include "tests/support/TestKeyboard.h"

#include <RtMidi.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/TestJack.h"
#include "tests/support/TestService.h"

TestKeyboard::TestKeyboard(TestJack& jack, const std::string& clientName,
                           const std::string& portName)
    : jack_(jack), clientName_(clientName), portName_(portName) {}

TestKeyboard::~TestKeyboard() { release(); }

bool TestKeyboard::listed() {
  std::vector<std::string> ports = jack_.midiSources();
  return std::find(ports.begin(), ports.end(), name()) != ports.end();
}

bool TestKeyboard::plug() {
  if (!out_) out_ = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, clientName_);
  out_->openVirtualPort(portName_);
  return eventually([this] { return listed(); }, std::chrono::seconds(3));
}

bool TestKeyboard::unplug() {
  if (out_) out_->closePort();
  return eventually([this] { return !listed(); }, std::chrono::seconds(3));
}

void TestKeyboard::release() {
  if (!out_) return;
  // RtMidi's JACK output frees its message buffer before it closes its client, so its
  // process callback may still read the freed buffer. Closed first, the port makes that
  // callback return at once; a few periods later the object can go.
  out_->closePort();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  out_.reset();
}

void TestKeyboard::send(const std::vector<unsigned char>& bytes) {
  if (!out_) return;
  std::vector<unsigned char> message(bytes);
  out_->sendMessage(&message);
}

void TestKeyboard::noteOn(int note, int velocity, int channel) {
  send({static_cast<unsigned char>(0x90 | channel), static_cast<unsigned char>(note),
        static_cast<unsigned char>(velocity)});
}

void TestKeyboard::noteOff(int note, int channel) {
  send({static_cast<unsigned char>(0x80 | channel), static_cast<unsigned char>(note), 64});
}
