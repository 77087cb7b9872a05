// Timing threads on Linux: SCHED_FIFO just below JACK's own realtime threads, so a
// tick is never kept waiting behind ordinary work and never delays the audio cycle.
#include <pthread.h>
#include <sched.h>

#include <functional>
#include <memory>
#include <system_error>

#include "platform/platform.h"

namespace platform {

namespace {

// JACK runs its process threads at priority 10 by default (jackd -P).
const int kTimingPriority = 5;

void* runTask(void* task) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(task));
  (*body)();
  return nullptr;
}

bool startThread(std::function<void()>* task, bool realtime) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (realtime) {
    sched_param parameters{};
    parameters.sched_priority = kTimingPriority;
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    pthread_attr_setschedparam(&attributes, &parameters);
  }
  pthread_t thread;
  bool started = pthread_create(&thread, &attributes, runTask, task) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace

void startTimingThread(std::function<void()> body) {
  auto* task = new std::function<void()>(std::move(body));
  // Without the right to realtime scheduling the thread runs at normal priority.
  if (startThread(task, true) || startThread(task, false)) return;
  delete task;
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                          "cannot start a thread");
}

}  // namespace platform
