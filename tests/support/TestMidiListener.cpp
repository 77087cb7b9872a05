#include "tests/support/TestMidiListener.h"

#include <jack/jack.h>
#include <jack/midiport.h>

TestMidiListener::TestMidiListener(const std::string& clientName) : clientName_(clientName) {}

TestMidiListener::~TestMidiListener() {
  if (client_ != nullptr) jack_client_close(client_);
}

bool TestMidiListener::open() {
  if (client_ != nullptr) return true;
  jack_status_t status;
  client_ = jack_client_open(clientName_.c_str(), JackNoStartServer, &status);
  if (client_ == nullptr) return false;
  port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client_, &TestMidiListener::process, this);
  return port_ != nullptr && jack_activate(client_) == 0;
}

int TestMidiListener::process(jack_nframes_t frames, void* self) {
  auto* listener = static_cast<TestMidiListener*>(self);
  void* buffer = jack_port_get_buffer(listener->port_, frames);
  uint32_t count = jack_midi_get_event_count(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size != 3) continue;
    if ((event.buffer[0] & 0xF0) == 0x90 && event.buffer[2] != 0) {
      listener->noteOns_[event.buffer[1] & 0x7F].fetch_add(1);
    }
  }
  return 0;
}
