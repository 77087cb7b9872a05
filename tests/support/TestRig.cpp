#include "tests/support/TestRig.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/DeviceChecks.h"
#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestJackCapture.h"
#include "tests/support/TestKeyboard.h"
#include "tests/support/TestMonitorCapture.h"
#include "tests/support/TestPipeWire.h"
#include "tests/support/TestService.h"
#include "tests/support/TestSynth.h"

namespace {

const std::chrono::seconds kServerStart{10};
const int kDesktopJackPeriod = 256;

}  // namespace

TestRig::TestRig(const Settings& settings)
    : settings_(settings), service_(std::make_unique<TestService>()) {
  if (settings_.kind == Kind::PipeWire) {
    pipeWire_ = std::make_unique<TestPipeWire>();
  } else {
    jack_ = std::make_unique<TestJack>();
  }
}

TestRig::TestRig(Kind kind) : TestRig(Settings{kind}) {}

TestRig::~TestRig() {
  webApplication_.reset();
  service_.reset();
  dropClients();
  jack_.reset();
  pipeWire_.reset();
}

TestRig::Kind TestRig::kindFromEnvironment(Kind fallback) {
  const char* text = std::getenv("PIANOCORVIDA_TEST_RIG");
  if (text == nullptr) return fallback;
  for (Kind kind : {Kind::Jack22050, Kind::Jack48000, Kind::PipeWire}) {
    if (std::strcmp(text, nameOf(kind)) == 0) return kind;
  }
  std::fprintf(stderr, "PIANOCORVIDA_TEST_RIG=%s names no rig; the %s rig runs\n", text,
               nameOf(fallback));
  return fallback;
}

const char* TestRig::nameOf(Kind kind) {
  switch (kind) {
    case Kind::Jack22050:
      return "jack22050";
    case Kind::Jack48000:
      return "jack48000";
    case Kind::PipeWire:
      return "pipewire";
  }
  return "";
}

bool TestRig::start() {
  if (!startServer() || !plugClients()) return false;
  storeDevice(*service_, keyboard_->name(), true, 21, 108);
  return true;
}

bool TestRig::startServer() {
  switch (settings_.kind) {
    case Kind::Jack22050:
      return jack_->start(kServerStart, settings_.periodFrames, settings_.realtime, 22050);
    case Kind::Jack48000:
      return jack_->start(kServerStart, kDesktopJackPeriod, settings_.realtime, 48000);
    case Kind::PipeWire:
      if (!TestPipeWire::jackIsPipeWire()) {
        std::fprintf(stderr, "the PipeWire rig carries MIDI over PipeWire's JACK layer: run the "
                             "test program under pw-jack\n");
        return false;
      }
      if (!pipeWire_->start()) return false;
      jack_ = TestJack::attach(kServerStart);
      if (!jack_) std::fprintf(stderr, "PipeWire's JACK layer did not answer\n");
      return jack_ != nullptr;
  }
  return false;
}

bool TestRig::plugClients() {
  // First MIDI input port on the server: the service's output port 0 reaches it.
  synth_ = std::make_unique<TestSynth>(*jack_, "Test Synth");
  keyboard_ = std::make_unique<TestKeyboard>(*jack_, "Test Piano");
  if (!synth_->plug() || !keyboard_->plug()) {
    std::fprintf(stderr, "the %s rig's synthesizer or keyboard did not appear\n", name());
    return false;
  }
  if (!settings_.capture) return true;
  if (pipeWire_) {
    capture_ = std::make_unique<TestMonitorCapture>(pipeWire_->monitorSource(),
                                                    pipeWire_->sampleRate());
  } else {
    capture_ = std::make_unique<TestJackCapture>();
  }
  if (capture_->start()) return true;
  std::fprintf(stderr, "the %s rig's capture did not start\n", name());
  return false;
}

bool TestRig::startService() { return service_->start(); }

bool TestRig::connectWebApplication(std::chrono::milliseconds within) {
  webApplication_ = std::make_unique<TestClient>();
  return ::connectWebApplication(*webApplication_) &&
         eventually([this] { return serviceListensToKeyboard(); }, within);
}

bool TestRig::serviceListensToKeyboard() { return serviceListensTo(*jack_, *keyboard_); }

void TestRig::stopServer() {
  if (pipeWire_) {
    pipeWire_->stop();
  } else {
    jack_->stop();
  }
}

void TestRig::dropClients() {
  capture_.reset();
  keyboard_.reset();
  synth_.reset();
  if (pipeWire_) jack_.reset();  // the attached client, of the server that ended
}

bool TestRig::restartServer() { return startServer() && plugClients(); }

uint32_t TestRig::sampleRate() const {
  if (pipeWire_) return pipeWire_->sampleRate();
  return jack_ ? jack_->sampleRate() : 0;
}

std::vector<unsigned char> TestRig::delivered(const std::vector<unsigned char>& message) const {
  if (settings_.kind == Kind::PipeWire && message.size() == 3 && (message[0] & 0xF0) == 0x90 &&
      message[2] == 0) {
    return {static_cast<unsigned char>(0x80 | (message[0] & 0x0F)), message[1], 64};
  }
  return message;
}
