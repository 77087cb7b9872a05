// The metronome's click player. Plays one raw audio file for a given time: the file's
// bytes, from the first (a wave header too), as interleaved signed 16-bit
// little-endian stereo frames at 22050 Hz, through an output stream of its own that
// lives for one Play. One thread uses an object at a time (the metronome's); the
// stream's callback reads the file on the audio library's thread while Play waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include <RtAudio.h>

class CvAudioPlay {
 public:
  explicit CvAudioPlay(const std::string& path);
  ~CvAudioPlay();  // closes an open file
  CvAudioPlay(const CvAudioPlay&) = delete;
  CvAudioPlay& operator=(const CvAudioPlay&) = delete;

  // Opens path for binary reading; false when it cannot (logged by the caller).
  bool OpenFile();
  void CloseFile();  // no-op when nothing is open
  // Plays the open file and returns `duration` ms after it was called (measured on a
  // steady clock from the call, so the caller's beat does not drift by the time the
  // stream takes to open). Without an open file it plays nothing and still returns
  // `duration` ms after the call. No audio device: logs ERROR "[CvAudioPlay] no audio
  // device found" and returns at once. An RtAudioError: logs ERROR
  // "[CvAudioPlay] error when playing audio file %s" with its message and returns at once.
  void Play();

  std::string path;
  RtAudio audio;                 // the platform's audio API
  int32_t channels = 2;          // interleaved channels of the file and the stream
  int32_t sampleRate = 22050;    // frames per second
  uint32_t bufferFrames = 256;   // frames per callback asked for
  int32_t firstChannel = 0;      // first output channel
  int32_t duration = 0;          // ms the stream runs per Play
  // When the file's first frame is to sound. Opening a stream takes tens of ms, so a
  // caller that must be on the beat calls Play that much earlier: the stream plays
  // silence until then. Unset or past: at once.
  std::chrono::steady_clock::time_point soundAt{};
  RtAudio::StreamParameters parameters;  // set by Play
  std::FILE* file = nullptr;     // read by the stream's callback

 private:
  std::chrono::steady_clock::duration closeTime_{};  // what the last stream close took
};
