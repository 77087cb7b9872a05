#include "playback/CvMidiTaskPlayer.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include <RtMidi.h>
#include <stk/MidiFileIn.h>

#include "midi/CvMidiInput.h"
#include "midi/CvMidiState.h"
#include "platform/platform.h"
#include "playback/CvMidiFileCheck.h"
#include "playback/CvPlaybackState.h"
#include "service/CvLog.h"
#include "service/CvService.h"
#include "store/CvCacheFolder.h"

CvMidiTaskPlayer* g_player = nullptr;
int32_t max_volume_midi = 0;
std::atomic<int32_t> g_accompaniment_volume{0};
std::atomic<std::chrono::steady_clock::time_point> g_playback_origin{
    std::chrono::steady_clock::time_point()};

namespace {

const char* const kOutputPortName = "RtMidi Output";
// ALSA's through port, also as PipeWire and a2jmidid show it on JACK: it makes no sound.
const char* const kThroughPortName = "midi through";
const char* const kOtherErrorLine = "[CvMidiTaskPlayer] Create rtMidiOut is error: %s";
const char* const kPlayBackErrorLine = "[CvMidiTaskPlayer] error when play back midi %s";

const int32_t kFullScale = 127;
const std::chrono::milliseconds kIdlePollPause(5);
const std::chrono::milliseconds kEndingAccompanimentWait(1000);

// Note Off, Note On, polyphonic pressure and controllers carry a loudness-like third
// byte. Pitch bend's third byte is the pitch itself, and system messages (a short
// SysEx ends in 0xF7) carry no volume at all: those go out unchanged.
bool HasVolumeByte(const std::vector<unsigned char>& bytes) {
  return bytes.size() == 3 && bytes[2] != 0 && bytes[0] >= 0x80 && bytes[0] <= 0xBF;
}

// A song time in whole ms; absurd delta times in a file saturate instead of overflowing.
int32_t WholeMilliseconds(double time) {
  if (time >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(time);
}

// The reader hands a SysEx event over as the file stores it: F0 (or the F7 of an
// escape), the length as a variable-length number, then the bytes. A synthesizer
// must get F0 and the bytes (an escape: the raw bytes alone), never the length.
std::vector<unsigned char> WireBytes(const std::vector<unsigned char>& event) {
  if (event[0] != 0xF0 && event[0] != 0xF7) return event;
  size_t start = 1;
  while (start < event.size() && (event[start] & 0x80) != 0) ++start;
  ++start;  // the last byte of the length
  std::vector<unsigned char> bytes;
  if (event[0] == 0xF0) bytes.push_back(0xF0);
  if (start < event.size()) bytes.insert(bytes.end(), event.begin() + start, event.end());
  return bytes;
}

// How much later than the first beat the excerpt's first tick time is heard, having
// just been handed over (0 when on time): what the latency command answers.
void TellStartLatency(std::chrono::steady_clock::time_point firstBeat) {
  auto heard = std::chrono::steady_clock::now() +
               std::chrono::microseconds(platform::soundOutputLatencyMicroseconds());
  int32_t latency = std::max<int32_t>(0, ElapsedMilliseconds(firstBeat, heard));
  g_play_latency_ms.exchange(latency);
  cvlog::info("Latency when play count-off = %d\n", latency);
  g_play_latency_ready.exchange(true);
}

bool IsThroughPort(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name.find(kThroughPortName) != std::string::npos;
}

// The system's first MIDI destination that can sound the song: not a through port, and
// not the service's own keyboard input (on ALSA and JACK that input is a MIDI
// destination too, and playing into it would record the accompaniment as the
// learner's notes). -1 when there is none. Caller holds the output lock.
int FirstOutputPort() {
  if (g_midi_out == nullptr) return -1;
  unsigned int count = g_midi_out->getPortCount();
  for (unsigned int port = 0; port < count; ++port) {
    std::string name = g_midi_out->getPortName(port);
    if (!IsOwnMidiPort(name) && !IsThroughPort(name)) {
      return static_cast<int>(port);
    }
  }
  return -1;
}

}  // namespace

unsigned char RescaleVelocity(unsigned char value, int32_t maxVolume, int32_t volume) {
  // A song without a loud note is measured against full scale, and a volume above
  // 100 plays at 100, so no data byte above 127 is ever sent.
  if (maxVolume <= 0) maxVolume = kFullScale;
  volume = std::min(std::max(volume, 0), 100);
  int32_t v = std::min<int32_t>(value, maxVolume);
  cvlog::out("OLD Volume: %d max_volume_midi: %d - volume: %d\n", v, maxVolume, volume);
  float ratio = static_cast<float>(v) / static_cast<float>(maxVolume);
  int32_t level = static_cast<int32_t>(static_cast<float>(volume / 100.0) * 127.0);
  int32_t rescaled = std::min(static_cast<int32_t>(level * ratio), kFullScale);
  cvlog::out("NEW Volume: %d max_volume_midi: %d\n", rescaled, maxVolume);
  return static_cast<unsigned char>(rescaled);
}

bool CvMidiTaskPlayer::AcceptsNewPerformance() {
  int state = playing_midi_state.load();
  return (state == READY_STATE || state == STOP_STATE) && WaitUntilIdle();
}

bool CvMidiTaskPlayer::WaitUntilIdle() {
  auto giveUp = std::chrono::steady_clock::now() + kEndingAccompanimentWait;
  while (!runMutex_.try_lock()) {
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    std::this_thread::sleep_for(kIdlePollPause);
  }
  runMutex_.unlock();
  return true;
}

bool CvMidiTaskPlayer::ReadyPlayback() {
  std::lock_guard<std::mutex> run(runMutex_);
  cvlog::info("[CVMIDITASKPLAYER] - READYPLAYBACK FUNCTION");
  max_volume_midi = 0;
  prepared_ = false;
  if (songPath.empty()) {
    cvlog::error("[CvMidiTaskPlayer] the midi file name format is fail");
    return false;
  }
  songPath = cacheFilePath(songPath);
  if (!ReadSchedule(songPath)) return false;

  {
    std::lock_guard<std::mutex> output(outputMutex_);
    if (!OpenOutput("CvMidiTaskPlayer - open rtmidiout error %s")) {
      if (FirstOutputPort() < 0) cvlog::error("[CvMidiTaskPlayer] RtMidiout have not output port");
      return false;
    }
  }

  cvMidiTickEventsStarted = FindNearestTickIndex(tickTimes, song.startTime);
  cvMidiTickEventsStoped = FindNearestTickIndex(tickTimes, song.endTime);
  if (cvMidiTickEventsStarted == cvMidiTickEventsStoped) {
    cvlog::error("Parse FAIL, cvMidiTickEventsStarted == cvMidiTickEventsStoped");
    return false;
  }
  prepared_ = true;
  return true;
}

bool CvMidiTaskPlayer::IsPrepared() { return prepared_.load(); }

void CvMidiTaskPlayer::Unprepare() { prepared_.exchange(false); }

bool CvMidiTaskPlayer::ReadSchedule(const std::string& path) {
  // The reader trusts the file's chunk lengths and counts; a broken file could crash
  // it or keep it reading for hours, so it sees only files that hold together.
  std::string why;
  if (!IsWellFormedMidiFile(path, &why)) {
    cvlog::error("[CvMidiTaskPlayer] exeption when parse midi file %s", why);
    return false;
  }
  try {
    std::unique_ptr<stk::MidiFileIn> reader(new (std::nothrow) stk::MidiFileIn(path));
    if (!reader) {
      cvlog::error("[CvMidiTaskPlayer] LOAD MIDI FILE ERROR");
      return false;
    }
    unsigned int tracks = reader->getNumberOfTracks();
    if (tracks == 0) {
      cvlog::error("[CvMidiTaskPlayer] the track of MIDI FILE = 0");
      return false;
    }
    division = reader->getDivision();
    tickEvents.clear();
    tickTimes.clear();
    channelOrder.clear();

    std::vector<unsigned char> event;
    for (unsigned int track = 0; track < tracks; ++track) {
      // Read once: the file's own tempo changes are not followed, the song plays at
      // the requested tempo.
      double secondsPerTick = reader->getTickSeconds(track);
      double time = 0.0;
      while (true) {
        unsigned long delta = reader->getNextEvent(&event, track);
        if (event.empty()) break;
        time += TicksToMilliseconds(delta, secondsPerTick, song.tempo);
        if (event[0] == 0xFF) continue;

        if (event[0] >= 0x90 && event[0] <= 0x9F && event.size() > 2) {
          cvlog::out("MAX VOLUME: %d\n", max_volume_midi);
          max_volume_midi = std::max<int32_t>(max_volume_midi, event[2]);
        }
        int32_t channel = event[0] & 0x0F;
        if (std::find(channelOrder.begin(), channelOrder.end(), channel) == channelOrder.end()) {
          channelOrder.push_back(channel);
        }
        // An empty SysEx escape sends nothing, and files no time of its own either: a
        // time listed twice would send its messages twice.
        std::vector<unsigned char> bytes = WireBytes(event);
        if (bytes.empty()) continue;
        int32_t t = WholeMilliseconds(time);
        ChannelEvents& atTime = tickEvents[t];
        if (atTime.empty()) tickTimes.push_back(t);
        atTime[channel].push_back(CvTickEvent{t, channel, std::move(bytes)});
      }
    }
    std::sort(tickTimes.begin(), tickTimes.end());
    return true;
  } catch (stk::StkError& e) {
    cvlog::error("[CvMidiTaskPlayer] exeption when parse midi file %s", e.getMessage());
  } catch (const std::exception& e) {
    cvlog::error("[CvMidiTaskPlayer] exeption when parse midi file %s", e.what());
  }
  return false;
}

void CvMidiTaskPlayer::RenewOutputIfSystemEnded() {
  uint64_t ended = platform::midiSystemsEnded();
  if (ended != outputMadeAfterEnds_) {
    outputMadeAfterEnds_ = ended;
    cvlog::warn("[CvMidiTaskPlayer] the MIDI system ended: MIDI output made anew");
    // Left undeleted: libjack frees its dead client (see platform::midiSystemsEnded).
    g_midi_out = nullptr;
    outputRemakePending_ = true;
  }
  // Until then there is no output, and nothing is played.
  if (!outputRemakePending_ || !platform::midiSystemSettled()) return;
  outputRemakePending_ = false;
  createMidiOutput();
}

bool CvMidiTaskPlayer::OpenOutput(const char* rtMidiErrorLine) {
  RenewOutputIfSystemEnded();
  // Called before every message: an open port is taken as it is.
  if (builtInSynthOpen_ || (g_midi_out != nullptr && g_midi_out->isPortOpen())) return true;
  // Port 0 is the built-in synthesizer where it can sound; the system's MIDI
  // destinations follow it.
  if (platform::builtInSynthesizerInstalled() && platform::builtInSynthesizerOpen()) {
    builtInSynthOpen_ = true;
    return true;
  }
  if (g_midi_out == nullptr) return false;
  try {
    int port = FirstOutputPort();
    if (port < 0) return false;
    g_midi_out->openPort(static_cast<unsigned int>(port), kOutputPortName);
    return g_midi_out->isPortOpen();
  } catch (const RtMidiError& e) {
    cvlog::error(rtMidiErrorLine, e.getMessage());
  } catch (const std::exception& e) {
    cvlog::error(kOtherErrorLine, e.what());
  }
  return false;
}

void CvMidiTaskPlayer::PlayBack(uint64_t performance) {
  platform::nameThread("cv-accompany");
  std::lock_guard<std::mutex> run(runMutex_);
  if (!prepared_) return;  // the play command starts only a prepared song
  try {
    {
      std::lock_guard<std::mutex> output(outputMutex_);
      OpenOutput(kPlayBackErrorLine);
    }
    origin_ = g_playback_origin.load();

    int32_t last = static_cast<int32_t>(tickTimes.size()) - 1;
    int32_t base = tickTimes[cvMidiTickEventsStarted];
    int32_t i = cvMidiTickEventsStarted;
    for (; i <= cvMidiTickEventsStoped && i <= last; ++i) {
      if (!IsPlaying(performance)) {
        cvlog::info("CvMidiTaskPlayer::PlayBack() -- BREAK BECAUSE TIMEOUT\n");
        StopCaptureOf(performance);
        break;
      }
      auto entry = tickEvents.find(tickTimes[i]);
      if (entry == tickEvents.end()) continue;
      RunMidiEvent(entry->second, tickTimes[i] - base, performance);
      if (i == cvMidiTickEventsStarted) TellStartLatency(origin_);
    }
    // The excerpt's last tick time is held until the tick time after it is due.
    if (i > cvMidiTickEventsStarted) {
      WaitWhilePlaying(performance, TickInstant(tickTimes[std::min(i, last)] - base));
    }

    PlayOver();
    // Went through the excerpt's last tick time, or stopped on it.
    if (i >= cvMidiTickEventsStoped && IsLatestPerformance(performance)) {
      StopPlayingMusic();
      playing_midi_state.exchange(STOP_STATE);
    }
    cvlog::info("[CvMidiTaskPlayer] - DONE PLAY MIDI SONG");
  } catch (const RtMidiError& e) {
    cvlog::error(kPlayBackErrorLine, e.getMessage());
  } catch (const std::exception& e) {
    cvlog::error(kOtherErrorLine, e.what());
  }
}

void CvMidiTaskPlayer::RunMidiEvent(const ChannelEvents& channels, int32_t offset,
                                    uint64_t performance) {
  const auto instant = TickInstant(offset);
  std::chrono::steady_clock::duration ahead;
  {
    std::lock_guard<std::mutex> output(outputMutex_);
    ahead = SendAhead();
  }
  // A late tick time waits for nothing, so the ones after it are still due at their
  // own times; a stop ends the wait at once.
  WaitWhilePlaying(performance, instant - ahead);
  int32_t volume = g_accompaniment_volume.load();
  for (int32_t channel : channelOrder) {
    auto entry = channels.find(channel);
    if (entry == channels.end()) continue;
    for (const CvTickEvent& tick : entry->second) {
      if (!IsPlaying(performance)) {
        cvlog::info("[CvMidiTaskPlayer::RunMidiEvent] - BREAK BECAUSE IS_PLAY_MUSIC=FALSE");
        StopCaptureOf(performance);
        return;
      }
      std::lock_guard<std::mutex> output(outputMutex_);
      if (!OpenOutput("open rtmidiout error %s")) break;  // this channel's rest is skipped
      if (HasVolumeByte(tick.bytes)) {
        unsigned char rescaled[3] = {tick.bytes[0], tick.bytes[1],
                                     RescaleVelocity(tick.bytes[2], max_volume_midi, volume)};
        SendToOutput(rescaled, sizeof(rescaled), instant);
      } else {
        SendToOutput(tick.bytes.data(), tick.bytes.size(), instant);
      }
    }
  }
}

void CvMidiTaskPlayer::SendToOutput(const unsigned char* message, size_t size,
                                    std::chrono::steady_clock::time_point instant) {
  if (builtInSynthOpen_) {
    platform::builtInSynthesizerSend(message, static_cast<uint32_t>(size),
                                     platform::SoundInstant{instant});
  } else {
    g_midi_out->sendMessage(message, size);
  }
}

std::chrono::steady_clock::duration CvMidiTaskPlayer::SendAhead() const {
  // The built-in synthesizer places each message on its frame itself.
  if (builtInSynthOpen_) return kSoundQueueAhead;
  return std::chrono::microseconds(platform::soundOutputLatencyMicroseconds());
}

std::chrono::steady_clock::time_point CvMidiTaskPlayer::TickInstant(int32_t offset) const {
  return origin_ + std::chrono::milliseconds(offset);
}

void CvMidiTaskPlayer::PlayOver() {
  g_play_latency_ms.exchange(0);
  g_play_latency_ready.exchange(true);
  cvlog::info("[CvMidiTaskPlayer] begin play over function\n");
  {
    std::lock_guard<std::mutex> output(outputMutex_);
    try {
      if (builtInSynthOpen_) {
        builtInSynthOpen_ = false;
        platform::builtInSynthesizerClose();
      }
      RenewOutputIfSystemEnded();
      if (g_midi_out != nullptr && g_midi_out->isPortOpen()) g_midi_out->closePort();
    } catch (const RtMidiError& e) {
      cvlog::error("close rtmidiout error %s", e.getMessage());
    } catch (const std::exception& e) {
      cvlog::error(kOtherErrorLine, e.what());
    }
  }
  cvlog::info("[CvMidiTaskPlayer] end [play over function]\n");
}
