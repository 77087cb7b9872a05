#include "tests/support/TestJack.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <jack/jack.h>

#include "tests/support/TestService.h"

const char* const kServiceInputPort = "Piano Corvida Plugin Input:RtMidi Input";

namespace {

std::atomic<int> g_servers_made{0};

std::vector<std::string> takeNames(const char** names) {
  std::vector<std::string> list;
  if (names == nullptr) return list;
  for (const char** name = names; *name != nullptr; ++name) list.emplace_back(*name);
  jack_free(names);
  return list;
}

void silent(const char*) {}
void toStandardError(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

TestJack::TestJack() {
  name_ = "pctest-" + std::to_string(getpid()) + "-" + std::to_string(++g_servers_made);
  logPath_ = "/tmp/" + name_ + ".log";
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  setenv("JACK_NO_START_SERVER", "1", 1);
}

TestJack::TestJack(Attached) : attached_(true) {}

TestJack::~TestJack() {
  stop();
  if (!logPath_.empty()) unlink(logPath_.c_str());
}

std::unique_ptr<TestJack> TestJack::attach(std::chrono::milliseconds timeout) {
  std::unique_ptr<TestJack> jack(new TestJack(Attached()));
  if (!jack->openClient(timeout)) return nullptr;
  const char* server = std::getenv("JACK_DEFAULT_SERVER");
  jack->name_ = server != nullptr ? server : "default";
  return jack;
}

bool TestJack::start(std::chrono::milliseconds timeout, int periodFrames, bool realtime,
                     int sampleRate) {
  if (running()) return true;
  if (attached_) return false;  // not this object's server to launch
  const std::vector<std::string> words = {"jackd", realtime ? "--realtime" : "--no-realtime",
                                          "-n",    name_,
                                          "-d",    "dummy",
                                          "-r",    std::to_string(sampleRate),
                                          "-p",    std::to_string(periodFrames)};
  // A server killed while it wrote JACK's metadata database can leave its environment
  // regions unjoinable ("BDB1546 unable to join the environment"), and the next server
  // then never answers. Whoever opens the database next makes them anew; the folder is
  // this test program's own (see the header).
  const std::string database = "/dev/shm/jack_db-" + std::to_string(getuid());
  for (const char* region : {"__db.001", "__db.002", "__db.003", "__db.004", "__db.005"}) {
    ::unlink((database + "/" + region).c_str());
  }
  return launch(timeout, words);
}

bool TestJack::launch(std::chrono::milliseconds timeout, const std::vector<std::string>& words) {
  // Everything the child needs is made before fork: only async-signal-safe calls after.
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (std::string& word : copy) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const char* logPath = logPath_.c_str();

  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // no server outlives a crashed test
    int fd = open(logPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }

  if (openClient(timeout)) return true;
  std::fprintf(stderr, "jackd %s did not start:\n%s\n", name_.c_str(), readFile(logPath_).c_str());
  stop();
  return false;
}

bool TestJack::openClient(std::chrono::milliseconds timeout) {
  // Attempts before the server listens would each print libjack's complaints.
  jack_set_error_function(silent);
  eventually(
      [this] {
        if (!attached_ && !running()) return true;
        jack_status_t status;
        client_ = attached_ ? jack_client_open("test rig", JackNoStartServer, &status)
                            : jack_client_open(
                                  "test rig",
                                  static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                  &status, name_.c_str());
        return client_ != nullptr;
      },
      timeout);
  jack_set_error_function(toStandardError);
  return client_ != nullptr;
}

void TestJack::stop() {
  if (client_ != nullptr) {
    jack_client_close(client_);
    client_ = nullptr;
  }
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!eventually([this] { return !running(); }, std::chrono::seconds(5))) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

bool TestJack::running() {
  if (attached_) return client_ != nullptr;
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;  // ended (and reaped)
  return false;
}

std::vector<std::string> TestJack::midiSources() {
  if (client_ == nullptr) return {};
  return takeNames(jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput));
}

std::vector<std::string> TestJack::midiSinks() {
  if (client_ == nullptr) return {};
  return takeNames(jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput));
}

std::string TestJack::log() const { return attached_ ? std::string() : readFile(logPath_); }

std::map<std::string, int> TestJack::lateClients() const {
  std::map<std::string, int> late;
  const std::string text = log();
  const std::string before = "client = ";
  const std::string after = " was not finished";
  for (size_t at = text.find(after); at != std::string::npos; at = text.find(after, at + 1)) {
    size_t name = text.rfind(before, at);
    size_t lineStart = text.rfind('\n', at);
    if (name == std::string::npos || (lineStart != std::string::npos && name < lineStart)) continue;
    name += before.size();
    ++late[text.substr(name, at - name)];
  }
  return late;
}

uint32_t TestJack::sampleRate() const {
  return client_ != nullptr ? jack_get_sample_rate(client_) : 0;
}

uint32_t TestJack::periodFrames() const {
  return client_ != nullptr ? jack_get_buffer_size(client_) : 0;
}

bool TestJack::connect(const std::string& source, const std::string& destination) {
  if (client_ == nullptr) return false;
  int result = jack_connect(client_, source.c_str(), destination.c_str());
  if (result != 0 && result != EEXIST) return false;
  return eventually([&] {
    std::vector<std::string> linked = connections(source);
    return std::find(linked.begin(), linked.end(), destination) != linked.end();
  });
}

std::vector<std::string> TestJack::connections(const std::string& port) {
  if (client_ == nullptr) return {};
  jack_port_t* found = jack_port_by_name(client_, port.c_str());
  if (found == nullptr) return {};
  return takeNames(jack_port_get_all_connections(client_, found));
}
