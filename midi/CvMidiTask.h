// The thin layer between the service and the MIDI input (cvMidiIn): lists the input
// ports into g_midi_device_info, opens the port of a chosen device, and hands the
// device test commands the latest key press. Holds no state of its own.
#pragma once

#include <cstdint>

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"

class CvMidiTask {
 public:
  // Waits 300 ms, then replaces the port list. True when at least one port was listed.
  bool RefreshPortList();

  // Makes device current when its name is among the listed ports (the lowest such
  // port), closes any open port and, if the port count still equals knownPortCount,
  // opens the device's port. False, changing nothing, when the name is not listed.
  // Called by the port monitor only.
  bool SetCurrentMidiDevice(CvMidiDevice device, uint32_t knownPortCount);

  // The latest device-test key press while it is less than 150 ms old; otherwise a
  // record with velocity 0. Never changes the list.
  CvMidiEvent GetMidiEvent();
};
