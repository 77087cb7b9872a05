// A test MIDI keyboard: a JACK client with one MIDI output port that the service sees
// as an input port, the way a real keyboard appears. plug() makes the port appear,
// unplug() makes it disappear; the client stays, so plug() works again.
//
// A plain libjack client: each message goes into its ring buffer as one record (size,
// instant and bytes in a single write), so its process callback can never find half of
// one. The callback puts every whole record that is due into the port's buffer of that
// period and counts it; a message is in the graph once delivered() counted it.
//
// A message sent at an instant (sendAt) goes into the graph on the JACK frame of that
// instant, at its offset inside the period it falls in: a keyboard that plays exactly
// on the beats as they appear in the graph. JACK's clock (jack_get_time) is not
// steady_clock's: jackd2 reads CLOCK_MONOTONIC_RAW, which NTP does not slew, where
// steady_clock reads CLOCK_MONOTONIC; they lie apart by all the slewing since boot (a
// quarter of a second on the machine this was written on), so each sendAt() measures
// the distance anew.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <jack/ringbuffer.h>
#include <jack/types.h>

class TestJack;

class TestKeyboard {
 public:
  // clientName must be unique on the server (JACK would rename a second client of
  // the same name, and name() would no longer match).
  TestKeyboard(TestJack& jack, const std::string& clientName,
               const std::string& portName = "MIDI 1");
  ~TestKeyboard();
  TestKeyboard(const TestKeyboard&) = delete;
  TestKeyboard& operator=(const TestKeyboard&) = delete;

  // Opens the port; true once the server lists it under name().
  bool plug();
  // Closes the port once what was sent went out; true once the server no longer lists
  // it.
  bool unplug();
  // Drops the keyboard's client, as after its server ended (what was sent goes out
  // first while periods still run); plug() makes a new one.
  void release();

  // The port's full name as a MIDI port enumeration reports it: "client:port".
  std::string name() const { return clientName_ + ":" + portName_; }

  // Queues a message for the next period; false when it was not queued (no port, or
  // the ring buffer is full). One thread at a time: the ring buffer has one writer.
  bool send(const std::vector<unsigned char>& bytes);
  bool noteOn(int note, int velocity, int channel = 0);
  bool noteOff(int note, int channel = 0);
  // Queues a message for the frame of the steady-clock instant `at`, in the period that
  // frame falls in; one that an earlier period should have carried goes at the start of
  // the next and is counted in late(). Messages go out in the order queued, so queue
  // timed ones in time order; a message queued after a timed one waits for it.
  bool sendAt(std::chrono::steady_clock::time_point at, const std::vector<unsigned char>& bytes);

  // jack_get_time() minus steady_clock now, from the closest of a few bracketed
  // readings; 0 before the first plug().
  std::chrono::microseconds clockOffset() const;

  // Messages put into the port's buffer so far, and ones the buffer refused.
  uint64_t delivered() const { return delivered_.load(); }
  uint64_t refused() const { return refused_.load(); }
  // Timed messages put in after the period that should have carried them.
  uint64_t late() const { return late_.load(); }
  // For each timed message put in since the last call, in order: when the period that
  // carried it ran (jack_get_time() in its process callback) minus its instant, in ms.
  // Below 0 by up to a period as a rule; more when the server's cycles run off its own
  // estimate of their instants (a loaded machine's late wake-ups). The thread that
  // sends calls it.
  std::vector<double> takeLags();

 private:
  // The record's head in the ring buffer; atMicros 0 is "at once".
  struct Head {
    uint32_t size;
    jack_time_t atMicros;
  };

  static int process(jack_nframes_t frames, void* self);
  bool queue(jack_time_t atMicros, const std::vector<unsigned char>& bytes);
  bool listed();
  // Waits until the process callback took every queued message (at most a second).
  void drain();

  TestJack& jack_;
  std::string clientName_;
  std::string portName_;
  jack_client_t* client_ = nullptr;  // made at the first plug(): it needs the server
  jack_ringbuffer_t* ring_ = nullptr;
  jack_ringbuffer_t* lags_ = nullptr;  // written by the process callback, read by takeLags()
  // Written by plug()/unplug() while the process callback may read it.
  std::atomic<jack_port_t*> port_{nullptr};
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> late_{0};
  jack_time_t periodEnd_ = 0;  // the last period's end as it saw it; the callback's own
};
