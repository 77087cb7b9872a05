// Code 6: stores a song's MIDI file, sent as Base64 text, in the cache folder and its
// modification stamp in the Midi table. Holds g_flow_mutex throughout, so it never
// overlaps loading or playing a song or another cache write.
#pragma once

#include "link/CvBaseFlow.h"

class CvSaveSongMidiFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  bool beforeSteps(CvResponse& response) override;
  void ownStep(CvResponse& response) override;
};
