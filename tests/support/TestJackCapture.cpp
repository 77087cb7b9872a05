#include "tests/support/TestJackCapture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <jack/jack.h>

namespace {

using std::chrono::nanoseconds;

const int kInputs = 8;  // a word stream and two click streams, stereo, with room to spare
const size_t kRingFrames = 1 << 16;  // over a second at 48000 Hz between two drains
const std::chrono::milliseconds kDrainInterval{5};

int64_t steadyNs() {
  return std::chrono::duration_cast<nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool isSystemPort(const std::string& name) { return name.rfind("system:", 0) == 0; }

}  // namespace

TestJackCapture::~TestJackCapture() {
  if (connector_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    connector_.join();
  }
  if (client_ != nullptr) jack_client_close(client_);
}

bool TestJackCapture::start() {
  if (client_ != nullptr) return true;
  client_ = jack_client_open("audio capture", JackNoStartServer, nullptr);
  if (client_ == nullptr) return false;
  rate_ = jack_get_sample_rate(client_);
  // The speakers play a frame this long after its cycle: the physical ports' playback
  // latency, the least of its range as the players read it.
  if (jack_port_t* speaker = jack_port_by_name(client_, "system:playback_1")) {
    jack_latency_range_t range{0, 0};
    jack_port_get_latency_range(speaker, JackPlaybackLatency, &range);
    speakerLatencyNs_ = static_cast<int64_t>(range.min) * 1000000000 / rate_;
  }
  ring_.resize(kRingFrames);
  for (int i = 1; i <= kInputs; ++i) {
    std::string name = "in_" + std::to_string(i);
    inputs_.push_back(
        jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
  }
  jack_set_process_callback(client_, &TestJackCapture::process, this);
  jack_set_port_registration_callback(client_, &TestJackCapture::portRegistered, this);
  bool registered = std::find(inputs_.begin(), inputs_.end(), nullptr) == inputs_.end();
  if (!registered || jack_activate(client_) != 0) {
    jack_client_close(client_);
    client_ = nullptr;
    inputs_.clear();
    return false;
  }

  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
  for (const char** name = ports; name != nullptr && *name != nullptr; ++name) {
    connect(jack_port_by_name(client_, *name));
  }
  if (ports != nullptr) jack_free(ports);
  connector_ = std::thread(&TestJackCapture::connectNewPorts, this);
  return true;
}

std::vector<std::string> TestJackCapture::sourcePorts() const {
  std::vector<std::string> names;
  if (client_ == nullptr) return names;
  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
  for (const char** name = ports; name != nullptr && *name != nullptr; ++name) {
    if (!isSystemPort(*name)) names.emplace_back(*name);
  }
  if (ports != nullptr) jack_free(ports);
  return names;
}

bool TestJackCapture::listensTo(const std::string& client) const {
  bool any = false;
  for (const std::string& port : sourcePorts()) {
    if (port.rfind(client + ":", 0) != 0) continue;
    any = true;
    if (std::none_of(inputs_.begin(), inputs_.end(), [&](jack_port_t* input) {
          return jack_port_connected_to(input, port.c_str()) != 0;
        })) {
      return false;
    }
  }
  return any;
}

// JACK's process thread: one frame record per frame. The cycle is dated by the steady
// clock as it runs, which is when the players upstream have just written it, plus the
// speakers' latency. JACK's
// own cycle times are no help: its clock is CLOCK_MONOTONIC_RAW, and with the dummy
// backend its estimate of a cycle's start wanders by several periods.
int TestJackCapture::process(uint32_t frames, void* self) {
  TestJackCapture* capture = static_cast<TestJackCapture*>(self);
  const int64_t start = steadyNs() + capture->speakerLatencyNs_;
  float* buffers[kInputs];
  for (int k = 0; k < kInputs; ++k) {
    buffers[k] = static_cast<float*>(jack_port_get_buffer(capture->inputs_[k], frames));
  }
  uint64_t written = capture->written_.load(std::memory_order_relaxed);
  const uint64_t free = kRingFrames - (written - capture->read_.load(std::memory_order_acquire));
  if (frames > free) capture->dropped_ += frames - free;
  for (uint32_t i = 0; i < frames && i < free; ++i, ++written) {
    Frame& frame = capture->ring_[written % kRingFrames];
    frame.time = start + static_cast<int64_t>(i) * 1000000000 / capture->rate_;
    frame.level = 0.0f;
    for (int k = 0; k < kInputs; ++k) frame.level = std::max(frame.level, std::fabs(buffers[k][i]));
  }
  capture->written_.store(written, std::memory_order_release);
  return 0;
}

// JACK's notification thread, where jack_connect may not be called: the connector
// thread does it.
void TestJackCapture::portRegistered(uint32_t portId, int registered, void* self) {
  if (registered == 0) return;
  TestJackCapture* capture = static_cast<TestJackCapture*>(self);
  {
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->newPorts_.push_back(portId);
  }
  capture->wake_.notify_all();
}

void TestJackCapture::connectNewPorts() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, kDrainInterval, [this] { return stopping_ || !newPorts_.empty(); });
    std::vector<uint32_t> ports;
    ports.swap(newPorts_);
    collect();
    lock.unlock();
    for (uint32_t id : ports) connect(jack_port_by_id(client_, id));
    lock.lock();
  }
}

void TestJackCapture::connect(jack_port_t* source) {
  if (source == nullptr || (jack_port_flags(source) & JackPortIsOutput) == 0 ||
      std::strcmp(jack_port_type(source), JACK_DEFAULT_AUDIO_TYPE) != 0) {
    return;
  }
  std::string name = jack_port_name(source);
  if (isSystemPort(name)) return;
  jack_port_t* free = nullptr;
  for (jack_port_t* input : inputs_) {
    if (jack_port_connected_to(input, name.c_str())) return;  // found twice at start
    if (free == nullptr && jack_port_connected(input) == 0) free = input;
  }
  // With every input taken, the first one sums the extra source: its level still shows.
  jack_connect(client_, name.c_str(), jack_port_name(free != nullptr ? free : inputs_.front()));
}

void TestJackCapture::collect() const {
  const uint64_t written = written_.load(std::memory_order_acquire);
  uint64_t read = read_.load(std::memory_order_relaxed);
  for (; read < written; ++read) frames_.push_back(ring_[read % kRingFrames]);
  read_.store(read, std::memory_order_release);
  keepLastMinute();
}
