// A headless PipeWire of the test's own, as a learner's desktop runs it: a session
// dbus-daemon, pipewire, wireplumber and pipewire-pulse in a private XDG_RUNTIME_DIR
// (HOME and XDG_CONFIG_HOME under it), with a null audio sink as the default sink.
// start() points this process's environment at it, so that every program started
// afterwards (the service, parec) reaches it: its Pulse server, its D-Bus and its JACK
// layer. The JACK layer is reached by programs whose libjack is PipeWire's: run the
// test program under pw-jack, as a desktop user runs JACK programs; the service
// inherits its LD_LIBRARY_PATH. Not for use from several threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TestPipeWire {
 public:
  TestPipeWire();   // makes the private folder; nothing runs yet
  ~TestPipeWire();  // stops the servers, removes the folder, restores the environment
  TestPipeWire(const TestPipeWire&) = delete;
  TestPipeWire& operator=(const TestPipeWire&) = delete;

  // Starts the four servers and waits until the Pulse server names the null sink as
  // its default; false when that did not happen in time (the servers' output is then
  // printed, and what did start is stopped).
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Ends the servers (SIGTERM, then SIGKILL after a bounded wait) and restores the
  // environment start() changed.
  void stop();
  bool running();

  // The null sink, and the Pulse source that records what it plays.
  static const char* const kSink;
  std::string monitorSource() const { return std::string(kSink) + ".monitor"; }
  // The graph's rate, as desktops run it.
  uint32_t sampleRate() const { return 48000; }
  const std::string& folder() const { return folder_; }
  // What the servers printed so far, each under its name.
  std::string output() const;

  // True when this process's libjack is PipeWire's: it runs under pw-jack.
  static bool jackIsPipeWire();

 private:
  struct Server {
    std::string name;
    pid_t pid;  // -1 once it ended and was reaped
  };
  bool launch(const std::vector<std::string>& words);
  bool defaultSinkIsNull() const;
  void setEnvironment(const std::string& name, const std::string& value);

  std::string folder_;
  std::vector<Server> servers_;  // in start order
  // Environment values before start(), to put back at stop(); nullopt: was unset.
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};
