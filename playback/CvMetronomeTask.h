// The metronome: a hi-hat click once per beat of the excerpt, on a thread of its own,
// from the excerpt's first beat. Click n is due n - 1 beats after that beat; each
// click is handed to the sound output ahead of it and placed on the output frame of
// its beat, so the clicks stay on the beat however late the thread wakes. The thread
// starts with the count-off, so the first click is queued in time too.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "playback/CvAudioPlay.h"

class CvMetronomeTask {
 public:
  CvMetronomeTask();

  // Sets interval, beatCount and a new click sound for the song of g_player. Called
  // by the play command, which then starts the thread on a copy of the task: a
  // metronome still finishing its last click never shares its sound with the next.
  void PrepareMetronome();

  // Body of the metronome thread of the given performance (StartPlayingMusic);
  // firstBeat is when the count-off says the excerpt's first beat is due.
  void RunMetronome(uint64_t performance, std::chrono::steady_clock::time_point firstBeat);

  int32_t interval = 0;   // ms per click
  int32_t beatCount = 0;  // clicks to play
  std::shared_ptr<CvAudioPlay> audio;
};

// Created by the service worker at start-up; lives for the whole process.
extern CvMetronomeTask* g_metronome;
