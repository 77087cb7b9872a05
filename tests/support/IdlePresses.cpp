#include "tests/support/IdlePresses.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMidiListener.h"
#include "tests/support/TestXrunCounter.h"

namespace {

const int kLowestNote = 21;  // keyboard k presses note kLowestNote + k
const char* const kCallbackLine = "INSERT EVENT TO RECORDING LIST";

// One keyboard's share: a gap, a press, a release 30 ms later.
IdlePresses::Figures pressAfterGaps(TestKeyboard& keyboard, int note, int presses,
                                    double longestGapSeconds, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> gap(0.0, longestGapSeconds);
  IdlePresses::Figures result;
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

}  // namespace

IdlePresses::IdlePresses(int keyboards, int periodFrames) : periodFrames_(periodFrames) {
  for (int k = 0; k < keyboards && kLowestNote + k < 128; ++k) {
    keyboards_.push_back(std::make_unique<TestKeyboard>(jack_, "Idle Piano " + std::to_string(k)));
  }
}

IdlePresses::~IdlePresses() {
  service_.stop();
  keyboards_.clear();
  listener_.reset();
  xruns_.reset();
}

bool IdlePresses::start() {
  if (keyboards_.empty() || !jack_.start(std::chrono::seconds(10), periodFrames_, true)) {
    std::fprintf(stderr, "the JACK server did not start\n");
    return false;
  }
  xruns_ = std::make_unique<TestXrunCounter>();
  listener_ = std::make_unique<TestMidiListener>("idle listener");
  for (auto& keyboard : keyboards_) {
    if (!keyboard->plug()) {
      std::fprintf(stderr, "keyboard %s did not plug\n", keyboard->name().c_str());
      return false;
    }
  }
  if (!xruns_->open() || !listener_->open()) return false;
  storeDevice(service_, keyboards_[0]->name(), true, 21, 108);
  if (!service_.start() || !connectWebApplication(app_) ||
      !eventually([&] { return serviceListensTo(jack_, *keyboards_[0]); },
                  std::chrono::seconds(10))) {
    std::fprintf(stderr, "the service did not open the first keyboard\n%s",
                 service_.output().c_str());
    return false;
  }
  for (auto& keyboard : keyboards_) {
    if (!jack_.connect(keyboard->name(), kServiceInputPort) ||
        !jack_.connect(keyboard->name(), listener_->name())) {
      std::fprintf(stderr, "keyboard %s could not be connected\n", keyboard->name().c_str());
      return false;
    }
  }
  return app_.call(27)["data"]["code"] == 0;
}

IdlePresses::Figures IdlePresses::press(int presses, double longestGapSeconds) {
  const int count = static_cast<int>(keyboards_.size());
  uint64_t xrunsBefore = xruns_->count();
  std::map<std::string, int> lateBefore = jack_.lateClients();
  size_t reachedBefore = countOf(service_.allLogs(), kCallbackLine);
  std::vector<uint64_t> heardBefore, deliveredBefore;
  for (int k = 0; k < count; ++k) {
    heardBefore.push_back(listener_->noteOns(kLowestNote + k));
    deliveredBefore.push_back(keyboards_[k]->delivered());
  }

  auto begin = std::chrono::steady_clock::now();
  std::vector<Figures> shares(count);
  std::vector<std::thread> players;
  for (int k = 0; k < count; ++k) {
    int share = presses / count + (k < presses % count ? 1 : 0);
    players.emplace_back([&, k, share] {
      shares[k] = pressAfterGaps(*keyboards_[k], kLowestNote + k, share, longestGapSeconds,
                                 1000u + static_cast<unsigned>(k));
    });
  }
  for (std::thread& player : players) player.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last ones arrive

  Figures f;
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  for (int k = 0; k < count; ++k) {
    f.pressed += shares[k].pressed;
    f.unsent += shares[k].unsent;
    f.afterLongGap += shares[k].afterLongGap;
    uint64_t heard = listener_->noteOns(kLowestNote + k) - heardBefore[k];
    f.heard += heard;
    f.delivered += keyboards_[k]->delivered() - deliveredBefore[k];
    if (heard != static_cast<uint64_t>(shares[k].pressed)) {
      f.shortKeyboards.push_back("keyboard " + std::to_string(k) + ": pressed " +
                                 std::to_string(shares[k].pressed) + ", heard " +
                                 std::to_string(heard));
    }
  }
  f.reached = countOf(service_.allLogs(), kCallbackLine) - reachedBefore;
  f.xruns = xruns_->count() - xrunsBefore;
  for (const auto& late : jack_.lateClients()) {
    int times = late.second - lateBefore[late.first];
    if (times > 0) f.late[late.first] = times;
  }
  return f;
}
