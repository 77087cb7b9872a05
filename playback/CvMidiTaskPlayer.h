// The accompaniment engine. The count-off command hands it the song parameters and
// asks it to load the song's cached MIDI file (ReadyPlayback): the file becomes a
// schedule, the distinct event times of the whole song in ms at the requested tempo
// and, for each time, the messages to send by channel. The play command then runs
// PlayBack on a thread of its own, from the start of the count-off: it sends the
// excerpt's messages to MIDI output port 0 so that they are heard on time from the
// first beat, velocities rescaled to the accompaniment volume, and closes the port.
// The built-in synthesizer gets each tick's messages ahead, with their instants; a
// MIDI destination gets them ahead by the sound output's latency, so that a
// synthesizer playing into that output meets the metronome's clicks.
// Port 0 is the platform's built-in synthesizer where it has one that can sound,
// otherwise the system's first MIDI destination that is not a through port (nor the
// service's own keyboard input).
//
// Threads: ReadyPlayback runs on a command thread under g_flow_mutex; PlayBack on its
// own thread; PlayOver also on a count-off word thread. The schedule is guarded by the
// player's run lock, which PlayBack holds for its whole run, so a song is never
// reloaded under a playing accompaniment. Every use of g_midi_out, and of the built-in
// synthesizer, holds the output lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "playback/CvSongTiming.h"

// One MIDI message of the song.
struct CvTickEvent {
  int32_t time = 0;     // tick time in ms, the key it is filed under
  int32_t channel = 0;  // low four bits of the status byte
  std::vector<unsigned char> bytes;  // the whole message, status byte first
};

class CvMidiTaskPlayer {
 public:
  using ChannelEvents = std::map<int32_t, std::vector<CvTickEvent>>;

  // Loads songPath (a song id; replaced by the cached file's full path) and builds the
  // schedule. True when the file was read, the output port is usable and the
  // excerpt's start and stop differ. Caller holds g_flow_mutex and has checked
  // WaitUntilIdle.
  bool ReadyPlayback();

  // Body of the accompaniment thread of the given performance (StartPlayingMusic).
  void PlayBack(uint64_t performance);

  // Closes the output port at the end of a performance.
  void PlayOver();

  // True while the last ReadyPlayback succeeded and nothing has changed the song since:
  // a play command has a schedule to play. Unprepare is for a count-off command that
  // changed the song parameters and then refused the song.
  bool IsPrepared();
  void Unprepare();

  // True once no accompaniment runs. A stopped one ends within moments and is waited
  // for, up to a second; one still playing (the session was ended while a song
  // played) keeps another song from being loaded or played under it.
  bool WaitUntilIdle();
  // True when a new song may be loaded or played: no performance is waiting or
  // playing (PLAYING_STATE is READY or STOP) and WaitUntilIdle holds.
  bool AcceptsNewPerformance();

  // Written by the count-off command (SetSongParameters and the song id), read by the
  // play command and the count-off and metronome set-up, all under g_flow_mutex.
  CvSongParameters song;
  std::string songPath;
  int32_t division = 0;  // of the last file loaded; informative

 private:
  // Sleeps until the messages of the tick time `offset` ms after the playback origin
  // are due to be sent, then sends them for that instant. Returns at once when the
  // performance stopped on the way.
  void RunMidiEvent(const ChannelEvents& channels, int32_t offset, uint64_t performance);
  // The instant `offset` ms after the playback origin.
  std::chrono::steady_clock::time_point TickInstant(int32_t offset) const;
  // How long before its instant a message goes to the open port 0; caller holds
  // outputMutex_.
  std::chrono::steady_clock::duration SendAhead() const;
  bool ReadSchedule(const std::string& path);
  bool OpenOutput(const char* rtMidiErrorLine);  // caller holds outputMutex_
  // Sends one message, to be heard at instant, to the open port 0; caller holds
  // outputMutex_.
  void SendToOutput(const unsigned char* message, size_t size,
                    std::chrono::steady_clock::time_point instant);
  // Makes g_midi_out anew when its MIDI system (a JACK server) ended since it was
  // made: the old one can neither open a port nor reach a new server. Caller holds
  // outputMutex_, and calls this before any other use of g_midi_out.
  void RenewOutputIfSystemEnded();

  std::mutex runMutex_;     // held by ReadyPlayback, and by PlayBack for its whole run
  std::mutex outputMutex_;  // every use of g_midi_out
  // MIDI system ends counted when g_midi_out was made; guarded by outputMutex_. The
  // process entry makes it before anything can have ended.
  uint64_t outputMadeAfterEnds_ = 0;
  bool outputRemakePending_ = false;  // the old one let go, the new one not made yet
  bool builtInSynthOpen_ = false;      // port 0 is open, and is the built-in synthesizer

  // The schedule; guarded by runMutex_.
  std::map<int32_t, ChannelEvents> tickEvents;
  std::vector<int32_t> tickTimes;     // keys of tickEvents, ascending
  std::vector<int32_t> channelOrder;  // channels by their first message in the file
  int32_t cvMidiTickEventsStarted = 0;
  int32_t cvMidiTickEventsStoped = 0;
  std::atomic<bool> prepared_{false};
  std::chrono::steady_clock::time_point origin_;  // of the running PlayBack
};

// Created by the service worker at start-up; lives for the whole process.
extern CvMidiTaskPlayer* g_player;

// Highest Note On velocity of the loaded song. Written by ReadyPlayback, read by the
// accompaniment, both under the player's run lock.
extern int32_t max_volume_midi;

// Accompaniment volume (1..100) of the current performance, and the instant its first
// accompaniment tick is due: the excerpt's first beat. Written by the play command
// before it starts PlayBack; read by PlayBack when it starts.
extern std::atomic<int32_t> g_accompaniment_volume;
extern std::atomic<std::chrono::steady_clock::time_point> g_playback_origin;

// The third byte of a three-byte channel message, rescaled so the song's loudest note
// plays at the accompaniment volume. Exposed for tests.
unsigned char RescaleVelocity(unsigned char value, int32_t maxVolume, int32_t volume);
