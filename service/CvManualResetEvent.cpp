#include "service/CvManualResetEvent.h"

void CvManualResetEvent::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

bool CvManualResetEvent::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return set_; });
}
