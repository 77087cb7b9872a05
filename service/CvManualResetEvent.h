// A manual-reset event: once set it stays set, and every wait returns at once.
// Safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class CvManualResetEvent {
 public:
  void set();
  // True when the event is set, waiting at most timeout for it.
  bool waitFor(std::chrono::milliseconds timeout);
  bool isSet() { return waitFor(std::chrono::milliseconds(0)); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;  // guarded by mutex_
};
