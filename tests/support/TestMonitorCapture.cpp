#include "tests/support/TestMonitorCapture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestService.h"

namespace {

const int kChannels = 2;
const int kLatencyMs = 10;
// A live recording's chunks come a latency apart, later on a loaded machine; a stream
// this far behind the clock has lost frames.
const std::chrono::milliseconds kLagAllowed{150};
const int kPipeBytes = 1 << 20;  // over two seconds of stereo float at 48000 Hz

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TestMonitorCapture::TestMonitorCapture(const std::string& source, uint32_t rate)
    : source_(source) {
  rate_ = rate;
  logPath_ = "/tmp/pctest-parec-" + std::to_string(getpid()) + "-" +
             std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log";
}

TestMonitorCapture::~TestMonitorCapture() {
  stop();
  unlink(logPath_.c_str());
}

bool TestMonitorCapture::start() {
  if (pid_ > 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes);
  // Everything the child needs is made before fork: only async-signal-safe calls after.
  std::vector<std::string> words = {"parec",
                                    "--device=" + source_,
                                    "--raw",
                                    "--format=float32le",
                                    "--channels=" + std::to_string(kChannels),
                                    "--rate=" + std::to_string(rate_),
                                    "--latency-msec=" + std::to_string(kLatencyMs),
                                    "--client-name=test monitor capture"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const char* logPath = logPath_.c_str();
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int log = open(logPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fds[1], 1);
    if (log >= 0) dup2(log, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  pipe_ = fds[0];
  reader_ = std::thread(&TestMonitorCapture::read, this);
  if (eventually([this] { return framesRead_.load() > 0; }, std::chrono::seconds(5))) return true;
  std::fprintf(stderr, "parec of %s gave no sound:\n%s\n", source_.c_str(),
               readFile(logPath_).c_str());
  stop();
  return false;
}

void TestMonitorCapture::stop() {
  stopping_ = true;
  if (reader_.joinable()) reader_.join();
  if (pipe_ >= 0) close(pipe_);
  pipe_ = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                    std::chrono::seconds(3))) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  pid_ = -1;
}

void TestMonitorCapture::read() {
  const int frameBytes = kChannels * static_cast<int>(sizeof(float));
  std::vector<char> buffer(64 * 1024);
  size_t held = 0;  // bytes of a partial frame kept from the last read
  uint64_t frames = 0;
  int64_t anchor = std::numeric_limits<int64_t>::max();
  while (!stopping_) {
    pollfd ready = {pipe_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    ssize_t got = ::read(pipe_, buffer.data() + held, buffer.size() - held);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      break;  // parec ended
    }
    const int64_t arrival = steadyNs();
    const size_t bytes = held + static_cast<size_t>(got);
    const size_t count = bytes / frameBytes;
    const uint64_t first = frames;
    frames += count;
    const int64_t estimate =
        arrival - static_cast<int64_t>(frames * 1000000000ull / rate_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (estimate < anchor) {
        // This chunk waited less than any before it: what was kept moves earlier.
        if (anchor != std::numeric_limits<int64_t>::max()) {
          for (Frame& frame : frames_) frame.time -= anchor - estimate;
        }
        anchor = estimate;
      }
      const float* samples = reinterpret_cast<const float*>(buffer.data());
      for (size_t i = 0; i < count; ++i) {
        float level = 0.0f;
        for (int c = 0; c < kChannels; ++c) {
          level = std::max(level, std::fabs(samples[i * kChannels + c]));
        }
        frames_.push_back(
            Frame{anchor + static_cast<int64_t>((first + i) * 1000000000ull / rate_), level});
      }
      keepLastMinute();
    }
    lastDelay_ = estimate - anchor;
    framesRead_ = frames;
    held = bytes - count * frameBytes;
    std::memmove(buffer.data(), buffer.data() + count * frameBytes, held);
  }
}

uint64_t TestMonitorCapture::droppedFrames() const {
  const std::chrono::nanoseconds lag = lastChunkDelay() - kLagAllowed;
  if (lag.count() <= 0) return 0;
  return static_cast<uint64_t>(lag.count()) * rate_ / 1000000000ull;
}

std::chrono::nanoseconds TestMonitorCapture::lastChunkDelay() const {
  return std::chrono::nanoseconds(lastDelay_.load());
}
