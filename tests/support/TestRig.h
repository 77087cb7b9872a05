// One learner's machine for the tests that play: the sound and MIDI servers, a test
// synthesizer (the first MIDI destination the service finds), a test keyboard, a
// capture of what the learner hears and the service with its web application.
// Kinds:
//   Jack22050  a JACK dummy server at 22050 Hz, periods of 32 or 256 frames, realtime
//              where the system allows it: the rig the message-exact tests run on;
//   Jack48000  a JACK dummy server at 48000 Hz with 256-frame periods, as users run
//              JACK;
//   PipeWire   a headless PipeWire (TestPipeWire) at 48000 Hz: sound through its Pulse
//              server into a null sink whose monitor is recorded, MIDI through its JACK
//              layer. The test program must run under pw-jack. Its MIDI is not JACK's:
//              see delivered(), TestSynth::hearsFrom(), and on a loaded machine the
//              messages of a cycle that a client missed are lost now and then.
// The MIDI clients and the JACK capture live on the rig's JACK server (PipeWire's JACK
// layer on the PipeWire rig). Not for use from several threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TestAudioCapture;
class TestClient;
class TestJack;
class TestKeyboard;
class TestPipeWire;
class TestService;
class TestSynth;

class TestRig {
 public:
  enum class Kind { Jack22050, Jack48000, PipeWire };
  struct Settings {
    Kind kind = Kind::Jack22050;
    int periodFrames = 256;  // Jack22050 only: 32 or 256
    bool realtime = true;    // Jack22050 only; JACK runs without where it is not allowed
    bool capture = true;     // whether to listen to what is played
  };

  explicit TestRig(const Settings& settings);
  explicit TestRig(Kind kind = Kind::Jack22050);
  // Takes everything down in the order libjack needs: the service and the rig's own
  // clients before their server.
  ~TestRig();
  TestRig(const TestRig&) = delete;
  TestRig& operator=(const TestRig&) = delete;

  // The kind PIANOCORVIDA_TEST_RIG names ("jack22050", "jack48000", "pipewire"), else
  // fallback; an unknown name is fallback too, with a line on standard error.
  static Kind kindFromEnvironment(Kind fallback);
  static const char* nameOf(Kind kind);

  // Starts the servers, plugs the synthesizer and then the keyboard, starts the
  // capture, and stores the keyboard in the service's database as the one of an
  // earlier session (lowest note 21, highest 108); the test may set the service up
  // further before startService(). False, with the reason printed, when something did
  // not come up.
  bool start();
  // Starts the service and waits until it accepts connections.
  bool startService();
  // A web application connects (a keep-alive on a new connection) and the service opens
  // the keyboard for it within `within`.
  bool connectWebApplication(std::chrono::milliseconds within = std::chrono::seconds(5));
  // True when the service's MIDI input is connected to the keyboard.
  bool serviceListensToKeyboard();

  // The sound server ends as if it quit (JACK kinds: the JACK server). The rig's own
  // clients of it stay until dropClients().
  void stopServer();
  // Lets go of the synthesizer, keyboard and capture: a client of an ended JACK server
  // must go before libjack reaches a new server.
  void dropClients();
  // Starts the server again and plugs fresh instruments and capture, as after a
  // restart of the learner's machine's sound system.
  bool restartServer();

  Kind kind() const { return settings_.kind; }
  const char* name() const { return nameOf(settings_.kind); }
  // The sound output's rate: the JACK server's, or the PipeWire graph's.
  uint32_t sampleRate() const;
  // A MIDI message as this rig's MIDI path hands it to the receiver. PipeWire's JACK
  // layer delivers a Note On of velocity 0 as a Note Off of velocity 64; JACK itself
  // changes nothing.
  std::vector<unsigned char> delivered(const std::vector<unsigned char>& message) const;

  TestJack& jack() { return *jack_; }
  TestSynth& synth() { return *synth_; }
  TestKeyboard& keyboard() { return *keyboard_; }
  TestAudioCapture& capture() { return *capture_; }  // when Settings::capture
  TestService& service() { return *service_; }  // made with the rig, not started
  TestClient& webApplication() { return *webApplication_; }  // after connectWebApplication()
  TestPipeWire* pipeWire() { return pipeWire_.get(); }  // null on the JACK kinds

 private:
  bool startServer();
  bool plugClients();

  Settings settings_;
  std::unique_ptr<TestPipeWire> pipeWire_;
  std::unique_ptr<TestJack> jack_;
  std::unique_ptr<TestSynth> synth_;
  std::unique_ptr<TestKeyboard> keyboard_;
  std::unique_ptr<TestAudioCapture> capture_;
  std::unique_ptr<TestService> service_;
  std::unique_ptr<TestClient> webApplication_;
};
