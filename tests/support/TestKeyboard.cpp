#include "tests/support/TestKeyboard.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/TestJack.h"
#include "tests/support/TestService.h"

namespace {

const size_t kRingBytes = 64 * 1024;
const size_t kLongestMessage = 1024;

}  // namespace

TestKeyboard::TestKeyboard(TestJack& jack, const std::string& clientName,
                           const std::string& portName)
    : jack_(jack), clientName_(clientName), portName_(portName) {}

TestKeyboard::~TestKeyboard() { release(); }

bool TestKeyboard::listed() {
  std::vector<std::string> ports = jack_.midiSources();
  return std::find(ports.begin(), ports.end(), name()) != ports.end();
}

int TestKeyboard::process(jack_nframes_t frames, void* self) {
  auto* keyboard = static_cast<TestKeyboard*>(self);
  jack_port_t* port = keyboard->port_.load();
  if (port == nullptr) return 0;
  void* buffer = jack_port_get_buffer(port, frames);
  jack_midi_clear_buffer(buffer);
  uint32_t size = 0;
  unsigned char bytes[kLongestMessage];
  // Records are whole: the writer puts size and bytes in with one write.
  while (jack_ringbuffer_read(keyboard->ring_, reinterpret_cast<char*>(&size), sizeof(size)) ==
         sizeof(size)) {
    jack_ringbuffer_read(keyboard->ring_, reinterpret_cast<char*>(bytes), size);
    if (jack_midi_event_write(buffer, 0, bytes, size) == 0) {
      keyboard->delivered_.fetch_add(1);
    } else {
      keyboard->refused_.fetch_add(1);
    }
  }
  return 0;
}

bool TestKeyboard::plug() {
  if (client_ == nullptr) {
    jack_status_t status;
    client_ = jack_client_open(clientName_.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr) return false;
    ring_ = jack_ringbuffer_create(kRingBytes);
    jack_set_process_callback(client_, &TestKeyboard::process, this);
    if (jack_activate(client_) != 0) {
      release();
      return false;
    }
  }
  if (port_.load() == nullptr) {
    port_.store(jack_port_register(client_, portName_.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                   JackPortIsOutput, 0));
  }
  return port_.load() != nullptr && eventually([this] { return listed(); }, std::chrono::seconds(3));
}

void TestKeyboard::drain() {
  // What was sent before goes out first, as from a keyboard whose cable is pulled after
  // the key; bounded, for a server that stopped running periods.
  for (int wait = 0; wait < 1000 && jack_ringbuffer_read_space(ring_) > 0; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // and is read downstream
}

bool TestKeyboard::unplug() {
  if (client_ != nullptr && port_.load() != nullptr) drain();
  jack_port_t* port = port_.exchange(nullptr);
  // The callback of the period under way may still hold the port: it ends first.
  if (port != nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    jack_port_unregister(client_, port);
  }
  return eventually([this] { return !listed(); }, std::chrono::seconds(3));
}

void TestKeyboard::release() {
  if (client_ == nullptr) return;
  if (port_.load() != nullptr) drain();
  port_.store(nullptr);
  // Closing a client whose server ended is what libjack expects; it frees the rest.
  jack_client_close(client_);
  client_ = nullptr;
  jack_ringbuffer_free(ring_);
  ring_ = nullptr;
}

bool TestKeyboard::send(const std::vector<unsigned char>& bytes) {
  if (client_ == nullptr || port_.load() == nullptr || bytes.empty() ||
      bytes.size() > kLongestMessage) {
    return false;
  }
  uint32_t size = static_cast<uint32_t>(bytes.size());
  std::vector<char> record(sizeof(size) + bytes.size());
  std::memcpy(record.data(), &size, sizeof(size));
  std::memcpy(record.data() + sizeof(size), bytes.data(), bytes.size());
  if (jack_ringbuffer_write_space(ring_) < record.size()) return false;
  return jack_ringbuffer_write(ring_, record.data(), record.size()) == record.size();
}

bool TestKeyboard::noteOn(int note, int velocity, int channel) {
  return send({static_cast<unsigned char>(0x90 | channel), static_cast<unsigned char>(note),
               static_cast<unsigned char>(velocity)});
}

bool TestKeyboard::noteOff(int note, int channel) {
  return send({static_cast<unsigned char>(0x80 | channel), static_cast<unsigned char>(note), 64});
}
