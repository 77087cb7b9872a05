// Linux implementation of the platform door. The service control manager is an
// in-process stand-in: SIGTERM and SIGINT arrive as control 1 (stop), status reports
// are logged and, under systemd, forwarded as READY=1 / STOPPING=1.
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <alsa/error.h>
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

// The ALSA library prints several lines each time a device or the sequencer cannot be
// opened (a machine without a sound card: at every sound the service tries), to
// standard error, which the service manager keeps: each distinct text is shown once.
void printAlsaMessageOnce(const char* file, int line, const char* function, int error,
                          const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  (void)file;
  (void)line;
  (void)error;
  static std::mutex mutex;
  static std::set<std::string> seen;
  std::lock_guard<std::mutex> lock(mutex);
  if (seen.size() >= 256 || !seen.insert(text).second) return;
  std::fprintf(stderr, "ALSA lib %s: %s\n", function != nullptr ? function : "", text);
}

// A client of the service's own on the JACK server, with no ports, that hears the
// server end. Guarded by g_watch_mutex, except the flag its shutdown callback sets.
std::mutex g_watch_mutex;
jack_client_t* g_watch_client = nullptr;
std::atomic<bool> g_watched_server_ended{false};
uint64_t g_servers_ended = 0;
std::chrono::steady_clock::time_point g_next_watch_attempt;
std::chrono::steady_clock::time_point g_settled_after;
const std::chrono::seconds kWatchAttemptInterval(1);

void onWatchedServerEnd(void*) { g_watched_server_ended.store(true); }

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

bool flushToDisk(const std::string& path) {
  // A folder opens read-only, and fsync flushes a file whatever mode it was opened in.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

void prepareProcess() {
  // Blocks of 128 KiB and more (a song or notation message, its JSON and log copies)
  // always come from mmap and go back to the system when freed. Left to itself the
  // allocator raises that threshold to the largest block freed, up to 32 MiB, and then
  // serves such blocks from the arena of whichever of the event-loop threads handled
  // the message, where they stay resident after the message is done.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  // The audio library opens Pulse streams with the server's default buffering (more
  // than 100 ms on PipeWire), and the client library takes a latency request only from
  // its environment: set it before any thread exists, for the service's own streams.
  setenv("PULSE_LATENCY_MSEC", "10", 1);
  sigset_t set = dispatcherSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  jack_set_error_function(printJackMessageOnce);
  snd_lib_error_set_handler(printAlsaMessageOnce);
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

namespace {

// The lowest address of the calling thread's stack above its guard; 0 until found,
// and on the main thread, whose stack the system grows on demand.
thread_local uintptr_t t_stack_low = 0;
thread_local bool t_stack_known = false;
// Left resident below releaseUnusedStack's own frame: its call into the system.
const uintptr_t kKeptBelowFrame = 4096;

}  // namespace

// Never inlined: its frame address must lie below every frame still in use.
[[gnu::noinline]] void releaseUnusedStack() {
  if (!t_stack_known) {
    t_stack_known = true;
    if (syscall(SYS_gettid) == getpid()) return;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
      t_stack_low = reinterpret_cast<uintptr_t>(address);
    }
    pthread_attr_destroy(&attributes);
  }
  if (t_stack_low == 0) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t end = (frame - kKeptBelowFrame) & ~(page - 1);
  if (end <= t_stack_low) return;
  // Pages never touched cost nothing here; touched ones come back zeroed when needed.
  madvise(reinterpret_cast<void*>(t_stack_low), end - t_stack_low, MADV_DONTNEED);
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

uint64_t midiSystemsEnded() {
  if (midiApi() != RtMidi::UNIX_JACK) return 0;
  std::lock_guard<std::mutex> lock(g_watch_mutex);
  auto now = std::chrono::steady_clock::now();
  if (g_watch_client != nullptr && g_watched_server_ended.exchange(false)) {
    g_watch_client = nullptr;  // a dead client: libjack frees it (see the header)
    ++g_servers_ended;
    // The next attempt waits, so the owners of dead MIDI and audio clients have let go
    // of them before this opens a client and libjack frees theirs.
    g_next_watch_attempt = now + kWatchAttemptInterval;
    g_settled_after = g_next_watch_attempt;
  }
  if (g_watch_client == nullptr && now >= g_next_watch_attempt) {
    g_next_watch_attempt = now + kWatchAttemptInterval;
    jack_status_t status;
    g_watch_client = jack_client_open("pianocorvida watch", JackNoStartServer, &status);
    if (g_watch_client != nullptr) {
      jack_on_shutdown(g_watch_client, &onWatchedServerEnd, nullptr);
    }
  }
  return g_servers_ended;
}

bool midiSystemSettled() {
  midiSystemsEnded();  // hears an end not counted yet
  std::lock_guard<std::mutex> lock(g_watch_mutex);
  return std::chrono::steady_clock::now() >= g_settled_after;
}

}  // namespace platform
