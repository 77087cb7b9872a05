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
const size_t kLagBytes = 4096;  // a thousand timed messages between two takeLags()

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
  // The instants of this period's first frame and of the next period's: the mapping
  // jack_time_to_frames() uses. After a late wake-up the server's estimate of the next
  // period's instant can come before this one's (jack_time_to_frames() then runs
  // backwards): the period is then taken to last its usual length from now on.
  jack_nframes_t first;
  jack_time_t startUs, nextUs;
  float periodUs;
  if (jack_get_cycle_times(keyboard->client_, &first, &startUs, &nextUs, &periodUs) != 0) {
    startUs = jack_get_time();
    periodUs = frames * 1e6f / jack_get_sample_rate(keyboard->client_);
    nextUs = startUs;
  }
  if (nextUs <= startUs) nextUs = startUs + static_cast<jack_time_t>(periodUs);
  const jack_time_t ranAt = jack_get_time();
  jack_nframes_t offset = 0;  // events in a port buffer go in time order
  Head head;
  unsigned char bytes[kLongestMessage];
  // Records are whole: the writer puts head and bytes in with one write.
  while (jack_ringbuffer_peek(keyboard->ring_, reinterpret_cast<char*>(&head), sizeof(head)) ==
         sizeof(head)) {
    if (head.atMicros != 0) {
      if (head.atMicros >= nextUs) break;  // a later period's
      if (head.atMicros < keyboard->periodEnd_) {
        keyboard->late_.fetch_add(1);  // an earlier period would have carried it
      } else if (head.atMicros > startUs) {
        auto frame = static_cast<jack_nframes_t>((head.atMicros - startUs) * frames / (nextUs - startUs));
        offset = std::max(offset, std::min(frame, frames - 1));
      }
    }
    jack_ringbuffer_read_advance(keyboard->ring_, sizeof(head));
    jack_ringbuffer_read(keyboard->ring_, reinterpret_cast<char*>(bytes), head.size);
    if (head.atMicros != 0) {
      auto lag = static_cast<int32_t>(static_cast<int64_t>(ranAt) - static_cast<int64_t>(head.atMicros));
      jack_ringbuffer_write(keyboard->lags_, reinterpret_cast<const char*>(&lag), sizeof(lag));
    }
    if (jack_midi_event_write(buffer, offset, bytes, head.size) == 0) {
      keyboard->delivered_.fetch_add(1);
    } else {
      keyboard->refused_.fetch_add(1);
    }
  }
  keyboard->periodEnd_ = nextUs;
  return 0;
}

std::chrono::microseconds TestKeyboard::clockOffset() const {
  if (client_ == nullptr) return std::chrono::microseconds(0);  // libjack's clock needs a client
  // The reading of the JACK clock lies between two of the steady clock; the pair
  // closest together dates it best.
  std::chrono::microseconds best{0};
  auto narrowest = std::chrono::steady_clock::duration::max();
  for (int reading = 0; reading < 20; ++reading) {
    auto before = std::chrono::steady_clock::now();
    jack_time_t jackNow = jack_get_time();
    auto after = std::chrono::steady_clock::now();
    if (after - before >= narrowest) continue;
    narrowest = after - before;
    auto middle = std::chrono::duration_cast<std::chrono::microseconds>(
        (before + (after - before) / 2).time_since_epoch());
    best = std::chrono::microseconds(static_cast<int64_t>(jackNow)) - middle;
  }
  return best;
}

bool TestKeyboard::plug() {
  if (client_ == nullptr) {
    jack_status_t status;
    client_ = jack_client_open(clientName_.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr) return false;
    ring_ = jack_ringbuffer_create(kRingBytes);
    lags_ = jack_ringbuffer_create(kLagBytes);
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
  jack_ringbuffer_free(lags_);
  lags_ = nullptr;
}

bool TestKeyboard::queue(jack_time_t atMicros, const std::vector<unsigned char>& bytes) {
  if (client_ == nullptr || port_.load() == nullptr || bytes.empty() ||
      bytes.size() > kLongestMessage) {
    return false;
  }
  Head head{static_cast<uint32_t>(bytes.size()), atMicros};
  std::vector<char> record(sizeof(head) + bytes.size());
  std::memcpy(record.data(), &head, sizeof(head));
  std::memcpy(record.data() + sizeof(head), bytes.data(), bytes.size());
  if (jack_ringbuffer_write_space(ring_) < record.size()) return false;
  return jack_ringbuffer_write(ring_, record.data(), record.size()) == record.size();
}

bool TestKeyboard::send(const std::vector<unsigned char>& bytes) { return queue(0, bytes); }

bool TestKeyboard::sendAt(std::chrono::steady_clock::time_point at,
                          const std::vector<unsigned char>& bytes) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()) +
                clockOffset();
  if (micros.count() <= 0) return false;  // 0 is "at once"
  return queue(static_cast<jack_time_t>(micros.count()), bytes);
}

bool TestKeyboard::noteOn(int note, int velocity, int channel) {
  return send({static_cast<unsigned char>(0x90 | channel), static_cast<unsigned char>(note),
               static_cast<unsigned char>(velocity)});
}

bool TestKeyboard::noteOff(int note, int channel) {
  return send({static_cast<unsigned char>(0x80 | channel), static_cast<unsigned char>(note), 64});
}

std::vector<double> TestKeyboard::takeLags() {
  std::vector<double> lags;
  int32_t lag;
  while (lags_ != nullptr &&
         jack_ringbuffer_read(lags_, reinterpret_cast<char*>(&lag), sizeof(lag)) == sizeof(lag)) {
    lags.push_back(lag / 1000.0);
  }
  return lags;
}
