// The count-off prepared for the current song (g_count_off). Written by the count-off
// command (ComputeCountOff) and read by the play command, both under g_flow_mutex.
#pragma once

#include <cstdint>
#include <memory>

#include "playback/CvCountOffSound.h"

struct CvCountOffInfo {
  int32_t numTicks = 0;
  int32_t tickSpacing = 0;
  std::unique_ptr<CvCountOffSound> countOffSound;  // none until a song was prepared
};

// Created by the service worker at start-up; lives for the whole process.
extern CvCountOffInfo* g_count_off;

// Builds g_count_off for the song parameters of g_player.
void ComputeCountOff();

// Milliseconds from the count-off's first tick to the excerpt's first beat for the
// prepared count-off and g_player's song: the count-off command's "duration".
int32_t ExpectedCountOffLength();
