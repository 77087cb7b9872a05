// Whether music may play and where a performance stands. Everything that plays
// (count-off words and their loop, the accompaniment, the metronome) checks
// IS_PLAY_MUSIC before each step and ends on its own once it is false; nothing is
// cancelled from outside. Both are atomics: writes are single exchanges.
#pragma once

#include <atomic>
#include <cstdint>

// Set true by the play command; set false by the accompaniment at the end of the
// excerpt, the stop command, the port monitor on disconnect and the plugin-version
// command. Read by the playing activities.
extern std::atomic<bool> IS_PLAY_MUSIC;

const int READY_STATE = 0;    // the count-off command accepted a song
const int WAITING_STATE = 1;  // the play command waits for its start time
const int PLAYING_STATE = 2;  // count-off, accompaniment and recording under way
const int STOP_STATE = 3;     // nothing is playing

// One of the states above. Written by the play, stop and end-session commands, the
// accompaniment and the port monitor; read by the commands that must not overlap a
// performance.
extern std::atomic<int> playing_midi_state;

// The output latency (ms) measured when the count-off started, and whether one was
// measured since the service started. Written by the playback engine; the latency
// command reads the value, then resets it to 0 (the ready flag stays).
extern std::atomic<int32_t> g_play_latency_ms;
extern std::atomic<bool> g_play_latency_ready;
