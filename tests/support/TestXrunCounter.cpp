#include "tests/support/TestXrunCounter.h"

#include <jack/jack.h>

TestXrunCounter::TestXrunCounter(const std::string& clientName) {
  jack_status_t status;
  client_ = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  if (client_ == nullptr) return;
  jack_set_xrun_callback(client_, &TestXrunCounter::onXrun, this);
  if (jack_activate(client_) != 0) {
    jack_client_close(client_);
    client_ = nullptr;
  }
}

TestXrunCounter::~TestXrunCounter() {
  if (client_ != nullptr) jack_client_close(client_);
}

int TestXrunCounter::onXrun(void* self) {
  static_cast<TestXrunCounter*>(self)->count_.fetch_add(1);
  return 0;
}
