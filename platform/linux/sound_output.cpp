#include "platform/linux/sound_output.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <unistd.h>

#include <jack/jack.h>
#include <log4cpp/Category.hh>
#include <pulse/pulseaudio.h>

#include "platform/platform.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// A Pulse server that does not answer within this is taken for none.
const std::chrono::milliseconds kPulseAnswerTime(1000);
const unsigned int kAlsaFallbackRate = 48000;

log4cpp::Category& category() { return log4cpp::Category::getInstance("<pianocorvida>"); }

struct PulseServer {
  bool answers = false;
  std::string defaultSink;
  unsigned int rate = 0;
  // A sink or source without a description: RtAudio's Pulse device list reads that
  // property unchecked and crashes the process on it.
  std::string undescribed;
  int pendingLists = 0;
};

template <typename Info>
void noteDescription(const Info* info, int last, void* data) {
  PulseServer& server = *static_cast<PulseServer*>(data);
  if (last) {
    --server.pendingLists;
    return;
  }
  if (info != nullptr && pa_proplist_gets(info->proplist, PA_PROP_DEVICE_DESCRIPTION) == nullptr &&
      server.undescribed.empty()) {
    server.undescribed = info->name != nullptr ? info->name : "(unnamed)";
  }
}

void noteServerInfo(pa_context*, const pa_server_info* info, void* data) {
  PulseServer& server = *static_cast<PulseServer*>(data);
  if (info != nullptr) {
    server.defaultSink = info->default_sink_name != nullptr ? info->default_sink_name : "";
    server.rate = info->sample_spec.rate;
  }
  --server.pendingLists;
}

// Runs the loop until done() or the deadline; false on the deadline or a loop failure.
template <typename Done>
bool iterateUntil(pa_mainloop* loop, Clock::time_point deadline, Done done) {
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    if (pa_mainloop_prepare(loop, 20 * 1000) < 0 || pa_mainloop_poll(loop) < 0 ||
        pa_mainloop_dispatch(loop) < 0) {
      return false;
    }
  }
  return true;
}

// Connects to the Pulse server and runs the queries ask(context) starts, until their
// callbacks brought `pending` to 0; false when the server did not answer in time.
template <typename Ask>
bool askPulse(int& pending, Ask ask) {
  bool answered = false;
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) return false;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "pianocorvida");
  const Clock::time_point deadline = Clock::now() + kPulseAnswerTime;
  if (context != nullptr &&
      pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    auto settled = [&] {
      pa_context_state_t state = pa_context_get_state(context);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (iterateUntil(loop, deadline, settled) &&
        pa_context_get_state(context) == PA_CONTEXT_READY) {
      std::vector<pa_operation*> operations = ask(context);
      answered = iterateUntil(loop, deadline, [&] { return pending <= 0; });
      for (pa_operation* operation : operations) {
        if (operation != nullptr) pa_operation_unref(operation);
      }
    }
    pa_context_disconnect(context);
  }
  if (context != nullptr) pa_context_unref(context);
  pa_mainloop_free(loop);
  return answered;
}

PulseServer probePulse() {
  PulseServer server;
  server.pendingLists = 3;
  server.answers = askPulse(server.pendingLists, [&](pa_context* context) {
    return std::vector<pa_operation*>{
        pa_context_get_server_info(context, noteServerInfo, &server),
        pa_context_get_sink_info_list(
            context, [](pa_context*, const pa_sink_info* i, int last, void* data) {
              noteDescription(i, last, data);
            }, &server),
        pa_context_get_source_info_list(
            context, [](pa_context*, const pa_source_info* i, int last, void* data) {
              noteDescription(i, last, data);
            }, &server)};
  });
  return server;
}

struct StreamLatency {
  std::string processId;
  std::string streamName;
  double seconds = -1;  // of the newest matching stream; below 0 while none was found
  int pending = 1;
};

// "N/D" (PipeWire's node.latency: N frames at D per second) in seconds; 0 when unreadable.
double fractionSeconds(const char* text) {
  unsigned long frames = 0, rate = 0;
  if (text == nullptr || std::sscanf(text, "%lu/%lu", &frames, &rate) != 2 || rate == 0) return 0;
  return static_cast<double>(frames) / rate;
}

void noteSinkInput(pa_context*, const pa_sink_input_info* input, int last, void* data) {
  StreamLatency& latency = *static_cast<StreamLatency*>(data);
  if (last) {
    --latency.pending;
    return;
  }
  const char* pid = pa_proplist_gets(input->proplist, PA_PROP_APPLICATION_PROCESS_ID);
  const char* name = pa_proplist_gets(input->proplist, PA_PROP_APPLICATION_NAME);
  if (pid == nullptr || name == nullptr || latency.processId != pid || latency.streamName != name) {
    return;
  }
  double seconds = static_cast<double>(input->buffer_usec) / 1e6;
  if (seconds == 0) {
    // PipeWire's Pulse server reports no buffer latency; what it buffers is the
    // stream's target length and the graph's quantum, both among the stream's
    // properties.
    const char* target = pa_proplist_gets(input->proplist, "pulse.attr.tlength");
    size_t frameBytes = pa_frame_size(&input->sample_spec);
    if (target != nullptr && frameBytes != 0 && input->sample_spec.rate != 0) {
      seconds = std::strtod(target, nullptr) / frameBytes / input->sample_spec.rate;
    }
    seconds += fractionSeconds(pa_proplist_gets(input->proplist, "node.latency"));
  }
  seconds += static_cast<double>(input->sink_usec) / 1e6;  // the sound card's own
  latency.seconds = seconds;
}

// The JACK server's rate and the client that owns its physical playback ports; false
// when no server runs.
bool probeJack(SoundOutput& output) {
  // Right after a server ended, a new client would have libjack free the dead clients
  // of the audio library under it (see midiSystemSettled).
  if (!midiSystemSettled()) return false;
  jack_status_t status;
  jack_client_t* client = jack_client_open("pianocorvida probe", JackNoStartServer, &status);
  if (client == nullptr) return false;
  output.rate = jack_get_sample_rate(client);
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                      JackPortIsPhysical | JackPortIsInput);
  if (ports != nullptr && ports[0] != nullptr) {
    std::string first(ports[0]);
    output.device = first.substr(0, first.find(':'));
  }
  if (ports != nullptr) jack_free(ports);
  jack_client_close(client);
  return !output.device.empty();
}

const char* apiName(RtAudio::Api api) {
  switch (api) {
    case RtAudio::LINUX_PULSE: return "PulseAudio";
    case RtAudio::UNIX_JACK: return "JACK";
    case RtAudio::LINUX_ALSA: return "ALSA";
    default: return "none";
  }
}

// The choice last logged, and the Pulse server last warned about; guarded by g_mutex.
std::mutex g_mutex;
std::string g_logged;
std::string g_warned;

void logChoice(const SoundOutput& output, const PulseServer& pulse) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!pulse.undescribed.empty() && g_warned != pulse.undescribed) {
    g_warned = pulse.undescribed;
    category().warn("[SoundOutput] the Pulse server lists %s without a description, which "
                    "the audio library cannot read: the Pulse server is not used",
                    pulse.undescribed.c_str());
  }
  std::string text = std::string(apiName(output.api)) + ", device " +
                     (output.device.empty() ? "(none)" : output.device) + ", " +
                     std::to_string(output.rate) + " Hz";
  if (text == g_logged) return;
  g_logged = text;
  category().info("[SoundOutput] sound output: %s", text.c_str());
}

}  // namespace

SoundOutput chooseSoundOutput() {
  SoundOutput output;
  PulseServer pulse = probePulse();
  if (pulse.answers && pulse.undescribed.empty()) {
    output.api = RtAudio::LINUX_PULSE;
    output.device = pulse.defaultSink;
    output.rate = pulse.rate;
  } else if (probeJack(output)) {
    output.api = RtAudio::UNIX_JACK;
  } else {
    output = SoundOutput();
    output.api = RtAudio::LINUX_ALSA;
    output.device = "default";
    output.rate = kAlsaFallbackRate;  // the default device converts from it
  }
  logChoice(output, pulse);
  return output;
}

bool pulseStreamLatency(const std::string& streamName, unsigned int rate, unsigned int& frames) {
  StreamLatency latency;
  latency.processId = std::to_string(getpid());
  latency.streamName = streamName;
  bool answered = askPulse(latency.pending, [&](pa_context* context) {
    return std::vector<pa_operation*>{
        pa_context_get_sink_input_info_list(context, noteSinkInput, &latency)};
  });
  if (!answered || latency.seconds < 0) return false;
  frames = static_cast<unsigned int>(latency.seconds * rate + 0.5);
  return true;
}

bool findOutputDevice(RtAudio& audio, const SoundOutput& output, unsigned int& deviceId) {
  unsigned int count = audio.getDeviceCount();
  if (count == 0) return false;
  deviceId = audio.getDefaultOutputDevice();  // Pulse: the default sink
  if (output.api == RtAudio::LINUX_PULSE) return true;
  for (unsigned int id = 0; id < count; ++id) {
    RtAudio::DeviceInfo info = audio.getDeviceInfo(id);
    if (info.outputChannels > 0 && info.name == output.device) {
      deviceId = id;
      return true;
    }
  }
  // JACK's physical ports belong to one listed client; ALSA may list no "default".
  return output.api == RtAudio::LINUX_ALSA;
}

}  // namespace platform
