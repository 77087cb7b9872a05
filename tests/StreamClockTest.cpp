// The output stream's clock against callbacks as an audio thread sees them: woken late
// by a varying amount, stalled, or running on a sound card whose clock is slow.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>

#include "platform/linux/stream_clock.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

const unsigned kRate = 48000;
const unsigned kPeriod = 256;
const unsigned kLatency = 512;

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Runs `periods` callbacks of a card whose period lasts `periodTime`, each woken up to
// `jitter` late (the first on time); returns the largest error of the heard instant
// against the truth (the period's true start plus the latency), over the callbacks
// after `settle` of them.
double largestError(platform::StreamClock& clock, Clock::time_point start, int periods,
                    std::chrono::duration<double> periodTime, microseconds jitter, int settle) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> late(0, static_cast<int>(jitter.count()));
  double largest = 0;
  for (int n = 0; n < periods; ++n) {
    auto due = start + std::chrono::duration_cast<Clock::duration>(periodTime * n);
    auto now = due + microseconds(n == 0 ? 0 : late(random));
    auto heard = clock.nextFrameHeardAt(now);
    clock.rendered(kPeriod);
    auto truth = due + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(double(kLatency) / kRate));
    if (n >= settle) largest = std::max(largest, std::fabs(msBetween(truth, heard)));
  }
  return largest;
}

}  // namespace

TEST(StreamClock, FollowsTheOutputThroughLateWakeUpsStallsAndASlowCard) {
  const std::chrono::duration<double> period(double(kPeriod) / kRate);
  const Clock::time_point start = Clock::now();

  // Woken up to 1.5 ms late at random: the frames are still dated by the earliest
  // callbacks, so a late wake-up hardly moves what is heard (by the least lateness of a
  // window at most).
  platform::StreamClock clock;
  clock.start(kRate, kPeriod, kLatency);
  EXPECT_LT(largestError(clock, start, 2000, period, microseconds(1500), 0), 0.25);
  EXPECT_EQ(clock.anchorings(), 1u);

  // The output stalls for 200 ms (periods went unheard); the first callback after it
  // anchors the clock there, and what was due meanwhile is heard from then on, not
  // later.
  platform::StreamClock stalled;
  stalled.start(kRate, kPeriod, kLatency);
  Clock::time_point now = start;
  for (int n = 0; n < 10; ++n) {
    stalled.nextFrameHeardAt(now);
    stalled.rendered(kPeriod);
    now += std::chrono::duration_cast<Clock::duration>(period);
  }
  now += std::chrono::milliseconds(200);
  const Clock::time_point heard = stalled.nextFrameHeardAt(now);
  EXPECT_NEAR(msBetween(now, heard), 1000.0 * kLatency / kRate, 0.01);
  EXPECT_EQ(stalled.anchorings(), 2u);

  // A card 0.1 % slow (ten times what cards drift), with wake-ups up to 0.5 ms late:
  // the clock follows it within what the card drifts in two windows (a quarter second
  // each: the least lateness of one is applied when it closes), without anchoring anew.
  platform::StreamClock slow;
  slow.start(kRate, kPeriod, kLatency);
  double error = largestError(slow, start, 4000, period * 1.001, microseconds(500), 0);
  std::printf("slow card: largest error %.3f ms\n", error);
  EXPECT_LT(error, 0.6);
  EXPECT_EQ(slow.anchorings(), 1u);

  // A first callback that came late is corrected by the first that comes on time.
  platform::StreamClock lateStart;
  lateStart.start(kRate, kPeriod, kLatency);
  lateStart.nextFrameHeardAt(start + microseconds(1000));
  lateStart.rendered(kPeriod);
  EXPECT_LT(largestError(lateStart, start + std::chrono::duration_cast<Clock::duration>(period),
                         100, period, microseconds(0), 0),
            0.01);
}
