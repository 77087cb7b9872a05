// Code 14: stores the playable range of the current keyboard, sent as the lowest and
// highest key (pitch name and octave), in its Device row. The range is loaded into
// the current device the next time the device finder chooses it.
#pragma once

#include "link/CvBaseFlow.h"

class CvPianoDetectKeyboardFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  void ownStep(CvResponse& response) override;
  // The note number of {"pitch", "octave"}; missing members read as "" and 0.
  int noteOf(const char* key) const;
};
