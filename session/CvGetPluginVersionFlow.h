// Code 16: the plugin version. Asking for it also stops any count-off, song or
// metronome: they end at their next check of IS_PLAY_MUSIC.
#pragma once

#include "link/CvBaseFlow.h"

class CvGetPluginVersionFlow : public CvBaseFlow {
 public:
  using CvBaseFlow::CvBaseFlow;

 private:
  const CvFlowDescription& description() const override;
  bool beforeSteps(CvResponse& response) override;
  void ownStep(CvResponse& response) override;
};
