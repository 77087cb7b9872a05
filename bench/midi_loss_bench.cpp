// Counts key presses along their way into the real service: how many each test
// keyboard put into the JACK graph, how many a listener of the bench's own received
// from each keyboard, and how many reached the service's recording callback (one log
// line each, "INSERT EVENT TO RECORDING LIST", while the device test runs), together
// with the JACK server's xruns (an xrun callback) and the clients that jackd named
// late. Several keyboards press at once, each after its own idle gaps of 0 to the
// longest gap, so that thousands of presses after long quiet fit in minutes. Starts
// its own JACK server (dummy backend, realtime, 32-frame periods at 22050 Hz). Run it
// where port 19420 is free, for example (one line):
//   unshare --net --mount sh -c 'mount -t tmpfs tmpfs /dev/shm && ip link set lo up &&
//   exec ./bench/midi_loss_bench [presses [keyboards [longest gap in s]]]'
// Defaults: 3000 presses, 40 keyboards, 20 s. Exits non-zero when a press that the
// graph carried did not reach the service.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestService.h"
#include "tests/support/TestXrunCounter.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kLowestNote = 21;  // keyboard k presses note kLowestNote + k
const int kMostKeyboards = 88;
const char* const kCallbackLine = "INSERT EVENT TO RECORDING LIST";

// A JACK client with one MIDI input port that counts the Note Ons of each note.
class Listener {
 public:
  bool open() {
    jack_status_t status;
    client_ = jack_client_open("loss listener", JackNoStartServer, &status);
    if (client_ == nullptr) return false;
    port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &Listener::process, this);
    return port_ != nullptr && jack_activate(client_) == 0;
  }
  ~Listener() {
    if (client_ != nullptr) jack_client_close(client_);
  }
  std::string name() const { return "loss listener:in"; }
  uint64_t noteOns(int note) const { return noteOns_[note].load(); }

 private:
  static int process(jack_nframes_t frames, void* self) {
    auto* listener = static_cast<Listener*>(self);
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

  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  std::array<std::atomic<uint64_t>, 128> noteOns_{};
};

// One keyboard's presses: how many it pressed and how many found no room in its ring.
struct Presses {
  int pressed = 0;
  int unsent = 0;
  int afterLongGap = 0;  // after at least 5 s of quiet
};

Presses pressAfterGaps(TestKeyboard& keyboard, int note, int presses, double longestGapSeconds,
                       unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> gap(0.0, longestGapSeconds);
  Presses result;
  for (int i = 0; i < presses; ++i) {
    double quiet = gap(random);
    std::this_thread::sleep_for(std::chrono::duration<double>(quiet));
    if (!keyboard.noteOn(note, 100)) ++result.unsent;
    ++result.pressed;
    if (quiet >= 5.0) ++result.afterLongGap;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    keyboard.noteOff(note);
  }
  return result;
}

// Lines of jackd's log that name a late client, counted by client.
std::map<std::string, int> lateClients(const std::string& log) {
  std::map<std::string, int> late;
  const std::string marker = "client = ";
  for (size_t at = log.find("was not finished"); at != std::string::npos;
       at = log.find("was not finished", at + 1)) {
    size_t lineStart = log.rfind('\n', at);
    size_t name = log.find(marker, lineStart == std::string::npos ? 0 : lineStart);
    if (name == std::string::npos || name > at) continue;
    name += marker.size();
    ++late[log.substr(name, at - 1 - name)];
  }
  return late;
}

}  // namespace

int main(int argc, char** argv) {
  int presses = argc > 1 ? std::atoi(argv[1]) : 3000;
  int keyboards = std::min(argc > 2 ? std::atoi(argv[2]) : 40, kMostKeyboards);
  double longestGap = argc > 3 ? std::atof(argv[3]) : 20.0;
  if (presses <= 0 || keyboards <= 0 || longestGap < 0) {
    std::fprintf(stderr, "usage: midi_loss_bench [presses [keyboards [longest gap in s]]]\n");
    return 2;
  }
  if (portAccepts(19420)) {
    std::fprintf(stderr, "port 19420 is already in use; run in a private network namespace\n");
    return 1;
  }
  TestJack jack;
  if (!jack.start(std::chrono::seconds(10), 32, true)) return 1;
  TestXrunCounter xruns;
  Listener listener;
  std::vector<std::unique_ptr<TestKeyboard>> pianos;
  for (int k = 0; k < keyboards; ++k) {
    pianos.push_back(std::make_unique<TestKeyboard>(jack, "Loss Piano " + std::to_string(k)));
    if (!pianos.back()->plug()) {
      std::fprintf(stderr, "keyboard %d did not plug\n", k);
      return 1;
    }
  }
  if (!xruns.open() || !listener.open()) return 1;
  TestService service;
  storeDevice(service, pianos[0]->name(), true, 21, 108);
  TestClient app;
  if (!service.start() || !connectWebApplication(app) ||
      !eventually([&] { return serviceListensTo(jack, *pianos[0]); }, std::chrono::seconds(10))) {
    std::fprintf(stderr, "the service did not open the first keyboard\n%s",
                 service.output().c_str());
    return 1;
  }
  // The others reach the same input port, as through a MIDI merger.
  for (auto& piano : pianos) {
    if (!jack.connect(piano->name(), kServiceInputPort) ||
        !jack.connect(piano->name(), listener.name())) {
      return 1;
    }
  }
  if (app.call(27)["data"]["code"] != 0) return 1;
  uint64_t xrunsBefore = xruns.count();

  std::printf("%d presses from %d keyboards, idle gaps of 0 to %.1f s; JACK %u frames at %u Hz\n",
              presses, keyboards, longestGap, jack.periodFrames(), jack.sampleRate());
  std::fflush(stdout);
  auto begin = Clock::now();
  std::vector<Presses> pressed(keyboards);
  std::vector<std::thread> players;
  for (int k = 0; k < keyboards; ++k) {
    int share = presses / keyboards + (k < presses % keyboards ? 1 : 0);
    players.emplace_back([&, k, share] {
      pressed[k] = pressAfterGaps(*pianos[k], kLowestNote + k, share, longestGap, 1000u + k);
    });
  }
  for (std::thread& player : players) player.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last ones arrive
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  app.call(28);

  int total = 0, unsent = 0, afterLongGap = 0;
  uint64_t heard = 0, delivered = 0, refused = 0;
  for (int k = 0; k < keyboards; ++k) {
    total += pressed[k].pressed;
    unsent += pressed[k].unsent;
    afterLongGap += pressed[k].afterLongGap;
    heard += listener.noteOns(kLowestNote + k);
    delivered += pianos[k]->delivered();
    refused += pianos[k]->refused();
    if (listener.noteOns(kLowestNote + k) != static_cast<uint64_t>(pressed[k].pressed)) {
      std::printf("  keyboard %d: pressed %d, the listener heard %llu\n", k, pressed[k].pressed,
                  static_cast<unsigned long long>(listener.noteOns(kLowestNote + k)));
    }
  }
  size_t reached = countOf(service.allLogs(), kCallbackLine);
  uint64_t xrunsDuring = xruns.count() - xrunsBefore;
  std::printf("pressed %d (%d after 5 s or more of quiet) in %.0f s; not queued %d\n", total,
              afterLongGap, seconds, unsent);
  std::printf("keyboards put into the graph %llu messages (Note On and Off), refused %llu\n",
              static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(refused));
  std::printf("listener heard %llu presses; the service's callback took %zu; lost %lld\n",
              static_cast<unsigned long long>(heard), reached,
              static_cast<long long>(total) - static_cast<long long>(reached));
  std::printf("JACK xruns during the presses: %llu (longest delay %.0f us)\n",
              static_cast<unsigned long long>(xrunsDuring), xruns.longestDelayMicros());
  for (const auto& late : lateClients(jack.log())) {
    std::printf("  late client %s: %d times\n", late.first.c_str(), late.second);
  }
  int status = service.stop();
  return status == 0 && unsent == 0 && static_cast<int>(reached) == total ? 0 : 1;
}
