// Key presses after idle gaps, counted along their way into the real service: several
// test keyboards on a JACK server of the test's own all reach the service's input port
// (as through a MIDI merger) and a listener beside it; each keyboard presses its own
// note after gaps of 0 to the longest gap. What reached the service's recording
// callback is counted by its log line while the device test (code 27) runs. A press
// missing at the listener too was lost in the graph (an xrun); one the listener heard
// and the service did not was lost in the service.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestClient.h"
#include "tests/support/TestJack.h"
#include "tests/support/TestService.h"

class TestKeyboard;
class TestMidiListener;
class TestXrunCounter;

class IdlePresses {
 public:
  struct Figures {
    int pressed = 0;
    int unsent = 0;        // found no room in its keyboard's ring buffer
    int afterLongGap = 0;  // after 5 s of quiet or more
    uint64_t delivered = 0;  // messages the keyboards put into the graph (Note On and Off)
    uint64_t heard = 0;      // presses the listener received
    size_t reached = 0;      // presses the service's callback took
    uint64_t xruns = 0;      // the JACK server's, while pressing
    std::map<std::string, int> late;  // clients jackd named late, while pressing
    std::vector<std::string> shortKeyboards;  // "keyboard k: pressed p, heard h"
    double seconds = 0;
  };

  IdlePresses(int keyboards, int periodFrames);
  ~IdlePresses();

  // Starts the server (realtime where allowed), the keyboards, the listener and the
  // service, and the device test; false, with the reason on standard error, when
  // something did not come up.
  bool start();
  // Presses in all, shared by the keyboards, each keyboard in a thread of its own.
  Figures press(int presses, double longestGapSeconds);

  TestJack& jack() { return jack_; }
  TestService& service() { return service_; }

 private:
  int periodFrames_;
  TestJack jack_;
  std::unique_ptr<TestXrunCounter> xruns_;
  std::unique_ptr<TestMidiListener> listener_;
  std::vector<std::unique_ptr<TestKeyboard>> keyboards_;
  TestService service_;
  TestClient app_;
};
