// Code 8: the blocking keyboard test. Switches capture to device-test mode and waits
// on its event-loop thread, up to 60 s, for one key press, which it answers with its
// pitch, octave and strength. A stop (code 18) or a song starting ends the wait.
#pragma once

#include <atomic>

#include "link/CvBaseFlow.h"

// Coordination of the blocking test (code 8) and its stop (code 18); atomics, each
// written with one exchange by those two commands only.
// A stop asked a waiting test to give up: set by code 18, cleared by code 8 when it
// sees it or times out, and by code 18 in its non-accepting cases.
extern std::atomic<bool> g_test_stop_requested;
// A code 8 is in its wait loop.
extern std::atomic<bool> g_test_waiting;
// The last blocking test has not ended on its own (by a key or a time-out) since the
// last stop.
extern std::atomic<bool> g_test_stop_allowed;

class CvUserTestDeviceFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
  Json::Value waitForKey();
};
