// Windows implementation of the platform door, over the service control manager,
// kernel and multimedia (MCI) calls the service was designed for. Not built on Linux,
// where a test compiles it with the mingw-w64 cross compiler.
#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <windows.h>

#include <mmsystem.h>

namespace platform {

namespace {

const char kNativeSeparator = '\\';

// Written once before the dispatcher needs it; the dispatcher's thread start orders it.
ServiceMainFunction g_service_main = nullptr;
// Written by the service's main thread, read on the dispatcher thread when a control
// arrives: nothing in between orders the two.
std::atomic<ControlHandler> g_control_handler{nullptr};

// Long path names allow 32767 characters.
const DWORD kLongestPath = 32768;

VOID WINAPI serviceMainTrampoline(DWORD argc, LPSTR* argv) {
  g_service_main(static_cast<uint32_t>(argc), argv);
}

VOID WINAPI controlHandlerTrampoline(DWORD control) {
  ControlHandler handler = g_control_handler.load();
  if (handler != nullptr) handler(static_cast<uint32_t>(control));
}

// One MCI string command, without a return buffer or a callback window.
uint32_t sendWaveCommand(const char* verb, const std::string& path, const char* tail) {
  std::string command = std::string(verb) + " \"" + path + "\"" + tail;
  return mciSendStringA(command.c_str(), nullptr, 0, nullptr);
}

}  // namespace

// A path longer than the buffer comes back cut short, so the buffer grows until the
// whole path fits.
std::string modulePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length < size) return std::string(buffer.data(), length);
    if (size >= kLongestPath) return std::string();
    buffer.resize(size * 2);
  }
}

std::string folderOf(const std::string& path) {
  size_t last = path.find_last_of(kNativeSeparator);
  return last == std::string::npos ? path : path.substr(0, last);
}

// The install-folder rule: the program's folder holds its shipped files and the
// learner's alike.
std::string shippedFilesFolder() { return folderOf(modulePath()); }
std::string learnerFilesFolder() { return folderOf(modulePath()); }

// The installer makes the database beside the program; there is nothing to copy.
LearnerFilesSetup prepareLearnerFiles() { return LearnerFilesSetup(); }

std::string joinPath(const std::string& folder, const std::string& relativeName) {
  return folder + kNativeSeparator + relativeName;
}

bool flushToDisk(const std::string& path) {
  // A folder's entries are kept by the file system's own journal; only files need it.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool flushed = FlushFileBuffers(file) != 0;
  CloseHandle(file);
  return flushed;
}

void prepareProcess() {}

bool runServiceDispatcher(const char* serviceName, ServiceMainFunction serviceMain) {
  g_service_main = serviceMain;
  SERVICE_TABLE_ENTRYA table[] = {
      {const_cast<LPSTR>(serviceName), serviceMainTrampoline}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) != FALSE;
}

StatusHandle registerControlHandler(const char* serviceName, ControlHandler handler) {
  g_control_handler.store(handler);
  return RegisterServiceCtrlHandlerA(serviceName, controlHandlerTrampoline);
}

bool reportStatus(StatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS record{};
  record.dwServiceType = status.serviceType;
  record.dwCurrentState = status.currentState;
  record.dwControlsAccepted = status.controlsAccepted;
  record.dwWin32ExitCode = status.win32ExitCode;
  record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  record.dwCheckPoint = status.checkPoint;
  record.dwWaitHint = status.waitHint;
  return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
}

uint32_t lastError() { return GetLastError(); }

void endProcess(int status) {
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

// Thread descriptions need Windows 10; the service runs on older systems too.
void nameThread(const char*) {}

// Windows keeps a thread's committed stack until the thread ends.
void releaseUnusedStack() {}

uint32_t waveOpen(const std::string& path) { return sendWaveCommand("open", path, " type waveaudio"); }
uint32_t wavePlay(const std::string& path) { return sendWaveCommand("play", path, ""); }
// MCI plays at once: the calling thread waits for the instant.
uint32_t wavePlayAt(const std::string& path, const SoundInstant& when) {
  std::this_thread::sleep_until(when.at);
  return wavePlay(path);
}
uint32_t soundOutputLatencyMicroseconds() { return 0; }
uint32_t waveClose(const std::string& path) { return sendWaveCommand("close", path, ""); }

void startTimingThread(std::function<void()> body) {
  std::thread([body = std::move(body)] {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    body();
  }).detach();
}

RtMidi::Api midiApi() { return RtMidi::WINDOWS_MM; }

uint64_t midiSystemsEnded() { return 0; }  // the multimedia MIDI system does not end
bool midiSystemSettled() { return true; }

// Port 0 of the multimedia MIDI output is the system's own synthesizer.
bool builtInSynthesizerInstalled() { return false; }
bool builtInSynthesizerOpen() { return false; }
void builtInSynthesizerSend(const unsigned char*, uint32_t, const SoundInstant&) {}
void builtInSynthesizerClose() {}

}  // namespace platform
