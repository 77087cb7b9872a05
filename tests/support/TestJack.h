// A JACK server of the test's own, with the dummy backend: real MIDI ports without
// hardware. Creating the object points this process, and every program it starts
// afterwards (the service), at a server name no other test process uses; start()
// launches jackd under that name. JACK keeps its sockets, server registry and shared
// memory under /dev/shm; tests/in-netns.sh gives each test program a /dev/shm of its
// own, and the pid in the name keeps servers apart when a program runs without it.
//
// attach() gives the same queries on a JACK server the test did not launch: PipeWire's
// JACK layer, which a program reaches when it runs under pw-jack.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;

class TestJack {
 public:
  // Picks the server name and sets JACK_DEFAULT_SERVER (and JACK_NO_START_SERVER, so
  // no client ever starts a server of its own) in this process's environment. The
  // server does not run until start().
  TestJack();
  ~TestJack();  // stops the server
  TestJack(const TestJack&) = delete;
  TestJack& operator=(const TestJack&) = delete;

  // The rig's client on the JACK server this process reaches already (the environment
  // names it; under pw-jack it is PipeWire's), which it neither starts nor stops; null
  // when none answers within timeout. The environment is left as it is.
  static std::unique_ptr<TestJack> attach(
      std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Starts jackd (sampleRate Hz, periodFrames frames per period) and waits until a
  // client can connect; false when it did not come up in time (its output is then
  // printed). A period is the transport's quantum: MIDI and audio move once per
  // period. Tests run it without realtime scheduling; a benchmark may ask for it, as a
  // desktop runs it. Users' servers run at 44100 or 48000 Hz.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10), int periodFrames = 32,
             bool realtime = false, int sampleRate = 22050);
  // Ends the server as if it quit on its own: SIGTERM, then SIGKILL if it lingers. On an
  // attached server only the rig's client goes.
  void stop();
  bool running();

  const std::string& serverName() const { return name_; }
  // What jackd printed so far (its xrun lines name the client that was late); empty
  // on an attached server.
  std::string log() const;
  // How often jackd's log named each client late ("client = X was not finished") so far.
  std::map<std::string, int> lateClients() const;
  // The server's rate and period as its clients see them; 0 when not reached.
  uint32_t sampleRate() const;
  uint32_t periodFrames() const;

  // Full names ("client:port") of the MIDI ports that send, in the server's order:
  // what a MIDI input port enumeration lists. Empty when the server is not running.
  std::vector<std::string> midiSources();
  // Full names of the MIDI ports that receive, in the server's order: what a MIDI
  // output port enumeration lists, port 0 first.
  std::vector<std::string> midiSinks();
  // Full names of the ports connected to the port named.
  std::vector<std::string> connections(const std::string& port);
  // Connects two ports by their full names; true once connected (also when they were).
  bool connect(const std::string& source, const std::string& destination);

 private:
  struct Attached {};
  explicit TestJack(Attached);
  bool openClient(std::chrono::milliseconds timeout);
  bool launch(std::chrono::milliseconds timeout, const std::vector<std::string>& words);

  std::string name_;
  std::string logPath_;
  pid_t pid_ = -1;
  bool attached_ = false;  // a server this object did not launch
  jack_client_t* client_ = nullptr;  // the rig's own client, for the queries above
};

// The port the service listens on once it opened an input port (its input client
// "Piano Corvida Plugin Input", port "RtMidi Input").
extern const char* const kServiceInputPort;
