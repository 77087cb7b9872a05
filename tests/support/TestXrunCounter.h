// Counts the xruns of the JACK server this process reaches: a port-less libjack client
// whose xrun callback the server calls once for every period that some client (or the
// server itself) did not finish in time. A period with an xrun may lose the MIDI
// messages that were under way in it, whoever sent them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

typedef struct _jack_client jack_client_t;

class TestXrunCounter {
 public:
  // Opens the client; count() stays 0 when no server answered (then open() is false).
  explicit TestXrunCounter(const std::string& clientName = "xrun counter");
  ~TestXrunCounter();
  TestXrunCounter(const TestXrunCounter&) = delete;
  TestXrunCounter& operator=(const TestXrunCounter&) = delete;

  bool open() const { return client_ != nullptr; }
  uint64_t count() const { return count_.load(); }

 private:
  static int onXrun(void* self);

  jack_client_t* client_ = nullptr;
  std::atomic<uint64_t> count_{0};
};
