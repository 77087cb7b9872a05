// The sound output the service plays into, chosen on purpose from what runs now: the
// PulseAudio API when a Pulse server answers (PipeWire serves one on current desktops:
// it converts rates, follows the desktop's default output and does not break when
// another program changes the graph's buffer size); JACK when a JACK server runs and no
// Pulse server does, on the server's physical playback ports (never on whichever
// client the server happens to list first); ALSA's "default" device otherwise.
#pragma once

#include <string>

#include <RtAudio.h>

namespace platform {

struct SoundOutput {
  RtAudio::Api api = RtAudio::UNSPECIFIED;  // UNSPECIFIED: no output at all
  std::string device;  // the Pulse sink, the JACK client of the physical ports, or "default"
  unsigned int rate = 0;  // the output's own rate: every stream runs at it
};

// Asks the system anew (a server may have started or ended since the last call); the
// choice is logged when it differs from the one logged last. Any thread.
SoundOutput chooseSoundOutput();

// The latency of this process's Pulse stream named streamName (its application name),
// in frames at rate: what the server buffers of it and the sink adds. RtAudio's Pulse
// streams report none themselves. False when the server lists no such stream.
bool pulseStreamLatency(const std::string& streamName, unsigned int rate, unsigned int& frames);

// The id of output.device among the devices audio (made with output.api) lists; false
// when it lists none to play on.
bool findOutputDevice(RtAudio& audio, const SoundOutput& output, unsigned int& deviceId);

}  // namespace platform
