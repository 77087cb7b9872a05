// The metronome's click player. Plays one raw audio file for a given time: the file's
// bytes, from the first (a wave header too), as interleaved signed 16-bit
// little-endian stereo frames at 22050 Hz, into the platform's sound output (which
// converts them to its own rate once, when the click is loaded). One thread uses an
// object at a time (the metronome's).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class CvAudioPlay {
 public:
  explicit CvAudioPlay(const std::string& path);
  ~CvAudioPlay();  // closes an open file
  CvAudioPlay(const CvAudioPlay&) = delete;
  CvAudioPlay& operator=(const CvAudioPlay&) = delete;

  // Opens path for binary reading; false when it cannot (logged by the caller).
  bool OpenFile();
  void CloseFile();  // no-op when nothing is open
  // Plays the open file from soundAt and returns `duration` ms after it was called
  // (measured on a steady clock from the call, so the caller's beat does not drift),
  // cutting the click off then. Without an open file it plays nothing and still returns
  // `duration` ms after the call. No audio output: logs ERROR "[CvAudioPlay] no audio
  // device found" and returns at once. Any other failure: logs ERROR
  // "[CvAudioPlay] error when playing audio file %s" with what failed and returns at once.
  // A click of a performance ends at once when the performance stops, also one queued
  // for a later instant.
  void Play();

  std::string path;
  int32_t sampleRate = 22050;  // frames per second of the file
  int32_t duration = 0;        // ms each Play lasts
  // When the file's first frame is to sound; it is placed on the output frame of that
  // instant. Unset or past: at once.
  std::chrono::steady_clock::time_point soundAt{};
  uint64_t performance = 0;  // the performance it clicks for (StartPlayingMusic); 0: none
  std::FILE* file = nullptr;  // open while a click may be played
};
