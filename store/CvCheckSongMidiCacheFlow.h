// Code 5: is the song's MIDI file in the cache folder, and with which stamp?
// Takes no command lock: it may see a file whose stamp a running save has not yet
// stored (code 0 without "lastMidiModified").
#pragma once

#include "link/CvBaseFlow.h"

class CvCheckSongMidiCacheFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
};
