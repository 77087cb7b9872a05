// Chooses the keyboard to listen to when the set of input ports changed and the
// current device is gone: the device used last (the Device row marked latest) if it
// is plugged in, otherwise the first plugged-in port the Device table knows, which
// then becomes the latest. Called from the port monitor thread.
#pragma once

#include "midi/CvMidiState.h"

class GetAvailableDevice {
 public:
  // True when a listed port has exactly device's name; false when no port is listed.
  bool isDeviceConnected(const CvMidiDevice& device);

  // Refreshes the port list and leaves its choice, with the stored keyboard range, in
  // the current device; an empty name when nothing suitable is plugged in.
  void getAvaiableDevice();

 private:
  void findDeviceFromDatabase();
};
