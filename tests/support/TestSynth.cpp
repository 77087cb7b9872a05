#include "tests/support/TestSynth.h"

#include <RtMidi.h>

#include <algorithm>
#include <thread>

#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

TestSynth::TestSynth(TestJack& jack, const std::string& clientName, const std::string& portName)
    : jack_(jack), clientName_(clientName), portName_(portName) {}

TestSynth::~TestSynth() = default;

void TestSynth::onMessage(double, std::vector<unsigned char>* bytes, void* self) {
  auto arrival = std::chrono::steady_clock::now();
  TestSynth* synth = static_cast<TestSynth*>(self);
  {
    std::lock_guard<std::mutex> lock(synth->mutex_);
    synth->messages_.push_back({*bytes, arrival});
  }
  synth->arrived_.notify_all();
}

bool TestSynth::listed() {
  std::vector<std::string> ports = jack_.midiSinks();
  return std::find(ports.begin(), ports.end(), name()) != ports.end();
}

bool TestSynth::plug() {
  if (!in_) {
    in_ = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, clientName_);
    in_->ignoreTypes(false, false, false);
    in_->setCallback(&TestSynth::onMessage, this);
  }
  in_->openVirtualPort(portName_);
  return eventually([this] { return listed(); }, std::chrono::seconds(3));
}

bool TestSynth::unplug() {
  if (in_) in_->closePort();
  return eventually([this] { return !listed(); }, std::chrono::seconds(3));
}

std::vector<TestSynth::Message> TestSynth::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

void TestSynth::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

bool TestSynth::waitForCount(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
}

bool TestSynth::hearsFrom(TestKeyboard& keyboard, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool heard = false;
  while (!heard && std::chrono::steady_clock::now() < deadline) {
    keyboard.send({0xFE});
    heard = waitForCount(1, std::chrono::milliseconds(20));
  }
  // A probe still under way arrives after a cycle or two.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  clear();
  return heard;
}
