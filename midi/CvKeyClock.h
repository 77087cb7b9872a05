// Dates each incoming MIDI message by the MIDI system's own event time, on the steady
// clock.
//
// The MIDI library hands the input callback, with every message, the seconds since the
// previous message of its input (0 for the first): on ALSA from the sequencer's
// real-time stamps on the input port, on JACK from jack_get_time() when its process
// callback ran. The key clock rebuilds each message's instant from that chain: the
// first message is dated when its callback runs, each next one at the previous one's
// instant plus its delta. A message is never handled before it happened, so a rebuilt
// instant later than the callback's now() is pulled back to now(): the chain settles
// on the earliest arrival seen. The deltas are stretched by kStretch, so that a MIDI
// clock running slower than the steady clock (JACK's is CLOCK_MONOTONIC_RAW, which NTP
// does not slew) cannot carry the chain ever earlier: it drifts later, and now() pulls
// it back. The chain starts again at now() when the input was reopened (restart()),
// on a delta below zero, and when the rebuilt instant lies more than kStale before
// now(), which no working input takes to hand a message over.
//
// Only the MIDI input callback thread calls arrived(), for every message of whatever
// kind: the deltas are between consecutive messages. The port monitor calls restart()
// before it opens the input port.
#pragma once

#include <atomic>
#include <chrono>

class CvKeyClock {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr double kStretch = 1.0001;
  static constexpr std::chrono::milliseconds kStale{500};

  // The instant of the message the library dated sinceLast seconds after the previous
  // one, handled at now.
  Clock::time_point arrived(double sinceLast, Clock::time_point now);
  // The next message starts a new chain.
  void restart() { restart_.store(true); }

 private:
  std::atomic<bool> restart_{true};
  Clock::time_point last_;  // the previous message's instant; the callback thread's own
};
