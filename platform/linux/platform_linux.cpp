// Linux implementation of the platform door. The service control manager is an
// in-process stand-in: SIGTERM and SIGINT arrive as control 1 (stop), status reports
// are logged and, under systemd, forwarded as READY=1 / STOPPING=1.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <jack/jack.h>
#include <log4cpp/Category.hh>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace platform {

namespace {

const char kNativeSeparator = '/';

// Written once by registerControlHandler before the handler can be needed; read by
// the dispatcher thread.
std::atomic<ControlHandler> g_control_handler{nullptr};

// SIGUSR1 wakes the dispatcher: sent when state 1 was reported, or when the service
// main function returned without reporting it.
const int kWakeSignal = SIGUSR1;

sigset_t dispatcherSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, kWakeSignal);
  return set;
}

// Set by reportStatus when state 1 is reported, and by the service main thread when
// it returns; read by the dispatcher. A SIGUSR1 from outside sets neither.
std::atomic<bool> g_stopped_reported{false};
std::atomic<bool> g_service_main_returned{false};

void wakeDispatcher() { kill(getpid(), kWakeSignal); }

void notifySystemd(const char* text) {
  const char* socketPath = std::getenv("NOTIFY_SOCKET");
  if (socketPath == nullptr || socketPath[0] == '\0') return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path(socketPath);
  if (path.size() >= sizeof(address.sun_path)) return;
  path.copy(address.sun_path, path.size());
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract socket
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, text, std::char_traits<char>::length(text), MSG_NOSIGNAL,
         reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size()));
  close(fd);
}

// libjack prints several lines on every failed attempt to reach a server, and the MIDI
// input asks again every 50 ms while none runs: each distinct text is shown once.
void printJackMessageOnce(const char* text) {
  static std::mutex mutex;
  static std::set<std::string> seen;
  std::lock_guard<std::mutex> lock(mutex);
  if (seen.size() >= 256 || !seen.insert(text).second) return;
  std::fprintf(stderr, "libjack: %s\n", text);
}

void dropJackInfo(const char*) {}

}  // namespace

std::string modulePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

std::string folderOf(const std::string& path) {
  size_t last = path.find_last_of(kNativeSeparator);
  return last == std::string::npos ? path : path.substr(0, last);
}

std::string joinPath(const std::string& folder, const std::string& relativeName) {
  std::string joined = folder + kNativeSeparator + relativeName;
  for (size_t i = folder.size(); i < joined.size(); ++i) {
    if (joined[i] == '\\') joined[i] = kNativeSeparator;
  }
  return joined;
}

void prepareProcess() {
  sigset_t set = dispatcherSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  jack_set_error_function(printJackMessageOnce);
  jack_set_info_function(dropJackInfo);
}

bool runServiceDispatcher(const char* serviceName, ServiceMainFunction serviceMain) {
  static char* arguments[] = {const_cast<char*>(serviceName), nullptr};
  std::thread([serviceMain] {
    serviceMain(1, arguments);
    g_service_main_returned.store(true);
    wakeDispatcher();
  }).detach();

  sigset_t set = dispatcherSignals();
  while (!g_stopped_reported.load()) {
    int received = 0;
    if (sigwait(&set, &received) != 0) continue;
    if (received == SIGTERM || received == SIGINT) {
      ControlHandler handler = g_control_handler.load();
      if (handler != nullptr) handler(1);
    } else if (g_service_main_returned.load() && !g_stopped_reported.load()) {
      // The service main function returned without a stopped report (its handler
      // registration failed): nothing is left to dispatch.
      return true;
    }
  }
  return true;
}

StatusHandle registerControlHandler(const char* /*serviceName*/, ControlHandler handler) {
  g_control_handler.store(handler);
  return reinterpret_cast<StatusHandle>(&g_control_handler);
}

bool reportStatus(StatusHandle handle, const ServiceStatus& status) {
  if (handle == nullptr) {
    errno = EINVAL;
    return false;
  }
  char line[200];
  std::snprintf(line, sizeof(line),
                "[ServiceStatus] state %u, controls accepted %u, exit code %u, check point %u",
                status.currentState, status.controlsAccepted, status.win32ExitCode,
                status.checkPoint);
  std::printf("%s\n", line);
  std::fflush(stdout);
  log4cpp::Category::getInstance("<pianocorvida>").info(line);
  if (status.currentState == 4) notifySystemd("READY=1");
  if (status.currentState == 1) {
    notifySystemd("STOPPING=1");
    g_stopped_reported.store(true);
    wakeDispatcher();
  }
  return true;
}

uint32_t lastError() { return static_cast<uint32_t>(errno); }

void endProcess(int status) {
  std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
  // _exit skips the leak check the sanitizer runs at a normal exit; run it here so the
  // sanitizer build still finds objects the service lost.
  __lsan_do_leak_check();
#endif
  _exit(status);
}

void nameThread(const char* name) {
  char shortName[16] = {};
  std::snprintf(shortName, sizeof(shortName), "%s", name);
  pthread_setname_np(pthread_self(), shortName);
}

RtMidi::Api midiApi() {
  static const RtMidi::Api chosen = [] {
    try {
      RtMidiIn probe(RtMidi::LINUX_ALSA, "RtMidi Probe Client");
      return RtMidi::LINUX_ALSA;
    } catch (const RtMidiError&) {
      return RtMidi::UNIX_JACK;  // no ALSA sequencer on this machine
    }
  }();
  return chosen;
}

RtAudio::Api audioApi() { return RtAudio::UNSPECIFIED; }

}  // namespace platform
