// Records a sink's monitor through the Pulse API (parec): what a learner hears from
// that sink, PipeWire's null sink on the PipeWire rig. parec writes raw 32-bit float
// stereo at the sink's rate to a pipe with a small latency, and a reader thread takes
// each chunk as it arrives.
//
// Frame times come from the stream itself: a chunk's arrival time less the duration of
// every frame read so far dates the stream's first frame, late by that chunk's delay.
// The earliest such date (the chunk that waited least) is taken, and frame n is dated
// n frames after it; earlier frames move when a later chunk waited less. So the
// capture's own buffering does not make sounds seem late, and a sound's place in the
// stream is kept even when the reader is woken late.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/support/TestAudioCapture.h"

class TestMonitorCapture : public TestAudioCapture {
 public:
  // source: the Pulse source to record ("<sink>.monitor"), at rate frames per second
  // (the sink's own, so that nothing is resampled).
  TestMonitorCapture(const std::string& source, uint32_t rate);
  ~TestMonitorCapture() override;  // ends the recording

  // Starts parec and waits until its first frames arrive; false (with parec's output
  // printed) when none came within a few seconds.
  bool start() override;

  // Frames the stream fell behind the clock by at its latest chunk, beyond the delay a
  // live recording has: the server dropped them because they were not read in time.
  uint64_t droppedFrames() const override;
  // How late the latest chunk arrived after its frames were due, against the earliest
  // chunk; the reader's wake-up delay, for printing.
  std::chrono::nanoseconds lastChunkDelay() const;

 private:
  void read();  // the reader thread
  void stop();

  std::string source_;
  std::string logPath_;
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> framesRead_{0};
  std::atomic<int64_t> lastDelay_{0};  // ns: the latest chunk's date of the first frame
                                       // less the earliest one
  std::thread reader_;
};
