#include "playback/CvPlaybackState.h"

std::atomic<bool> IS_PLAY_MUSIC{false};
std::atomic<int> playing_midi_state{STOP_STATE};
