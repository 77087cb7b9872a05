#include "playback/CvPlaybackState.h"

std::atomic<bool> IS_PLAY_MUSIC{false};
std::atomic<int> playing_midi_state{STOP_STATE};
std::atomic<int32_t> g_play_latency_ms{0};
std::atomic<bool> g_play_latency_ready{false};
