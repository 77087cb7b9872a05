// A standard-output line that tells a state which a loop finds again at every pass
// ("Midi port not open yet"): written once when the state begins, not at every pass,
// so that a service under systemd does not fill the journal with it. One object per
// state, used by the one thread that runs the loop.
#pragma once

#include <string>

class CvStateLine {
 public:
  explicit CvStateLine(std::string text);

  // The state holds at this pass: writes the line unless it already held before.
  void holds();
  // The state is over; the next holds() writes the line again.
  void ended();

 private:
  std::string text_;
  bool shown_ = false;
};
