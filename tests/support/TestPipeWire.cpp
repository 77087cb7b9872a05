#include "tests/support/TestPipeWire.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "tests/support/TestService.h"

namespace fs = boost::filesystem;

const char* const TestPipeWire::kSink = "null_sink";

namespace {

// The sink a machine without a sound card gets, driven by PipeWire's own timer, at
// the desktops' rate; the graph's quantum stays PipeWire's default, as on a desktop.
const char* const kSinkConfig = R"(context.properties = { default.clock.rate = 48000 }
context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "null_sink"
             node.description = "Test null sink" media.class = "Audio/Sink"
             audio.position = [ FL FR ] monitor.channel-volumes = true } }
]
)";

const std::chrono::seconds kStopWait{3};

bool reaped(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

TestPipeWire::TestPipeWire() {
  char folder[] = "/tmp/pctest-pw-XXXXXX";  // mode 0700, as a runtime folder must be
  if (mkdtemp(folder) != nullptr) folder_ = folder;
}

TestPipeWire::~TestPipeWire() {
  stop();
  boost::system::error_code ignored;
  if (!folder_.empty() && std::getenv("KEEP_TEST_FOLDERS") == nullptr) {
    fs::remove_all(folder_, ignored);
  }
}

void TestPipeWire::setEnvironment(const std::string& name, const std::string& value) {
  const char* old = std::getenv(name.c_str());
  savedEnvironment_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

bool TestPipeWire::start(std::chrono::milliseconds timeout) {
  if (!servers_.empty()) return running();
  if (folder_.empty()) return false;
  const std::string home = folder_ + "/home";
  fs::create_directories(home + "/.config/pipewire/pipewire.conf.d");
  writeFileBytes(home + "/.config/pipewire/pipewire.conf.d/10-null-sink.conf", kSinkConfig);
  const std::string bus = folder_ + "/bus";
  // A start after a stop: the sockets of the servers that ended would seem ready.
  boost::system::error_code ignored;
  for (const std::string& stale : {bus, folder_ + "/pipewire-0", folder_ + "/pipewire-0.lock"}) {
    fs::remove(stale, ignored);
  }
  fs::remove_all(folder_ + "/pulse", ignored);
  // Made here: pipewire-pulse looks for its folder and then makes it, and fails when a
  // Pulse client (pactl) made it in between.
  fs::create_directory(folder_ + "/pulse");
  fs::permissions(folder_ + "/pulse", fs::owner_all);
  setEnvironment("HOME", home);
  setEnvironment("XDG_CONFIG_HOME", home + "/.config");
  setEnvironment("XDG_RUNTIME_DIR", folder_);
  setEnvironment("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus);
  // Whatever pointed elsewhere would win over the runtime folder.
  setEnvironment("PULSE_SERVER", "");
  setEnvironment("PIPEWIRE_REMOTE", "");
  setEnvironment("JACK_DEFAULT_SERVER", "");

  auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  };
  bool up = launch({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus}) &&
            eventually([&] { return fs::exists(bus) || !running(); }, left()) && running() &&
            launch({"pipewire"}) &&
            eventually([&] { return fs::exists(folder_ + "/pipewire-0") || !running(); },
                       left()) &&
            running() && launch({"wireplumber"}) && launch({"pipewire-pulse"}) &&
            eventually([&] { return fs::exists(folder_ + "/pulse/native") || !running(); },
                       left()) &&
            running() &&
            eventually([&] { return defaultSinkIsNull() || !running(); }, left()) && running();
  if (up) return true;
  std::fprintf(stderr, "PipeWire did not come up in %s:\n%s\n", folder_.c_str(),
               output().c_str());
  stop();
  return false;
}

bool TestPipeWire::launch(const std::vector<std::string>& words) {
  // Everything the child needs is made before fork: only async-signal-safe calls after.
  std::vector<std::string> copy(words);
  std::vector<char*> argv;
  for (std::string& word : copy) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const std::string logPath = folder_ + "/" + words.front() + ".log";
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // no server outlives a crashed test
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  servers_.push_back(Server{words.front(), pid});
  return true;
}

bool TestPipeWire::defaultSinkIsNull() const {
  FILE* pipe = popen("timeout 3 pactl info 2>/dev/null", "r");
  if (pipe == nullptr) return false;
  std::string text;
  char buffer[512];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  pclose(pipe);
  return text.find(std::string("Default Sink: ") + kSink + "\n") != std::string::npos;
}

void TestPipeWire::stop() {
  // Clients first, the bus last.
  for (auto server = servers_.rbegin(); server != servers_.rend(); ++server) {
    if (server->pid <= 0) continue;  // ended and reaped already
    ::kill(server->pid, SIGTERM);
    if (!eventually([&] { return reaped(server->pid); }, kStopWait)) {
      std::fprintf(stderr, "%s did not end on SIGTERM\n", server->name.c_str());
      ::kill(server->pid, SIGKILL);
      int status = 0;
      waitpid(server->pid, &status, 0);
    }
  }
  servers_.clear();
  for (auto saved = savedEnvironment_.rbegin(); saved != savedEnvironment_.rend(); ++saved) {
    if (saved->second) {
      setenv(saved->first.c_str(), saved->second->c_str(), 1);
    } else {
      unsetenv(saved->first.c_str());
    }
  }
  savedEnvironment_.clear();
}

bool TestPipeWire::running() {
  if (servers_.empty()) return false;
  bool all = true;
  for (Server& server : servers_) {
    if (server.pid > 0 && reaped(server.pid)) server.pid = -1;
    all = all && server.pid > 0;
  }
  return all;
}

std::string TestPipeWire::output() const {
  std::string text;
  for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}) {
    text += std::string("--- ") + name + "\n" + readFile(folder_ + "/" + name + ".log");
  }
  return text;
}

bool TestPipeWire::jackIsPipeWire() {
  // Looked up by name: the function's address in this program could be its own stub.
  void* function = dlsym(RTLD_DEFAULT, "jack_client_open");
  Dl_info info;
  if (function == nullptr || dladdr(function, &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  return std::string(info.dli_fname).find("/pipewire-") != std::string::npos;
}
