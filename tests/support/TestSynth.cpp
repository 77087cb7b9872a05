#include "tests/support/TestSynth.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <thread>

#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"

TestSynth::TestSynth(TestJack& jack, const std::string& clientName, const std::string& portName)
    : jack_(jack), clientName_(clientName), portName_(portName) {}

TestSynth::~TestSynth() {
  if (client_ != nullptr) jack_client_close(client_);
}

int TestSynth::process(jack_nframes_t frames, void* self) {
  auto arrival = std::chrono::steady_clock::now();
  auto* synth = static_cast<TestSynth*>(self);
  jack_port_t* port = synth->port_.load();
  if (port == nullptr) return 0;
  void* buffer = jack_port_get_buffer(port, frames);
  uint32_t count = jack_midi_get_event_count(buffer);
  if (count == 0) return 0;
  {
    std::lock_guard<std::mutex> lock(synth->mutex_);
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0) {
        synth->unreadable_.fetch_add(1);
        continue;
      }
      synth->messages_.push_back({{event.buffer, event.buffer + event.size}, arrival});
    }
  }
  synth->arrived_.notify_all();
  return 0;
}

bool TestSynth::listed() {
  std::vector<std::string> ports = jack_.midiSinks();
  return std::find(ports.begin(), ports.end(), name()) != ports.end();
}

bool TestSynth::plug() {
  if (client_ == nullptr) {
    jack_status_t status;
    client_ = jack_client_open(clientName_.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr) return false;
    jack_set_process_callback(client_, &TestSynth::process, this);
    if (jack_activate(client_) != 0) return false;
  }
  if (port_.load() == nullptr) {
    port_.store(jack_port_register(client_, portName_.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                   JackPortIsInput, 0));
  }
  return port_.load() != nullptr && eventually([this] { return listed(); }, std::chrono::seconds(3));
}

bool TestSynth::unplug() {
  jack_port_t* port = port_.exchange(nullptr);
  // The callback of the period under way may still hold the port: it ends first.
  if (port != nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    jack_port_unregister(client_, port);
  }
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
