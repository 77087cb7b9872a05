// Whether music may play and where a performance stands. Everything that plays
// (count-off words and their loop, the accompaniment, the metronome) checks
// IS_PLAY_MUSIC before each step and ends on its own once it is false; nothing is
// cancelled from outside. Both are atomics: writes are single exchanges.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

// Set true by the play command (StartPlayingMusic); set false (StopPlayingMusic) by the
// accompaniment at the end of the excerpt, the stop command, the port monitor on
// disconnect and the plugin-version command. Read by the playing activities.
extern std::atomic<bool> IS_PLAY_MUSIC;

const int READY_STATE = 0;    // the count-off command accepted a song
const int WAITING_STATE = 1;  // the play command waits for its start time
const int PLAYING_STATE = 2;  // count-off, accompaniment and recording under way
const int STOP_STATE = 3;     // nothing is playing

// One of the states above. Written by the play, stop and end-session commands, the
// accompaniment and the port monitor; read by the commands that must not overlap a
// performance. A write that may end WAITING_STATE goes through SetStopState or
// CallOffWaitingPerformance, so the play command waiting for its start time wakes.
extern std::atomic<int> playing_midi_state;

// True while a performance is waiting for its start time or playing: the recording
// and the capture mode belong to it.
bool PerformanceUnderWay();

// Sets STOP_STATE. A play command still waiting for its start time wakes at once and
// does not begin.
void SetStopState();

// For the stop command: when a play command waits for its start time, sets
// STOP_STATE so that it wakes at once and does not begin; true then.
bool CallOffWaitingPerformance();

// For the play command, in WAITING_STATE: sleeps until start, or until the performance
// is called off (the state leaves WAITING_STATE). True when the start time came and
// the performance is still waiting.
bool WaitForStartTime(std::chrono::steady_clock::time_point start);

// How long before its instant each sound of a performance (a count-off word, a click,
// the built-in synthesizer's messages) is handed to the sound output, which places it
// on the frame heard at that instant: more than loading a sound, waking an idle output
// and the output's latency take.
const std::chrono::milliseconds kSoundQueueAhead(150);

// The output latency (ms) measured when the accompaniment started, and whether one was
// measured since the service started. Written by the playback engine; the latency
// command reads the value, then resets it to 0 (the ready flag stays).
extern std::atomic<int32_t> g_play_latency_ms;
extern std::atomic<bool> g_play_latency_ready;

// Each performance has a number. Its activities (word threads, accompaniment,
// metronome) keep the number they were started with, so one that is still between two
// steps when a stop and a new play command come ends instead of joining the new
// performance.

// Sets IS_PLAY_MUSIC and begins a new performance; returns its number. Called by the
// play command only.
uint64_t StartPlayingMusic();

// Clears IS_PLAY_MUSIC and wakes every activity sleeping in WaitWhilePlaying, so a
// stop silences a long rest at once.
void StopPlayingMusic();

// True while IS_PLAY_MUSIC is set and performance is the latest one started.
bool IsPlaying(uint64_t performance);

// True while no later performance has started: an ending activity of this
// performance may still reset what the performance owns (capture mode, MIDI output).
bool IsLatestPerformance(uint64_t performance);

// For an activity that ended because its performance stopped: stops the capture of
// key presses, unless a later performance has begun and records now.
void StopCaptureOf(uint64_t performance);

// Sleeps until deadline or until the performance stops, whichever comes first;
// returns IsPlaying(performance).
bool WaitWhilePlaying(uint64_t performance, std::chrono::steady_clock::time_point deadline);
